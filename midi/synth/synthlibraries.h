#pragma once

/// Mutes what the built-in synth's libraries print to stderr: FluidSynth's errors and
/// warnings ("Help! Lost the connection to the JACK server"), the ALSA library's ("cannot
/// find card '0'" on a machine without a sound card) and libjack's (FluidSynth's JACK
/// driver). What the user must know reaches them through the port's Error report instead.
/// Only FluidSynth's panic messages, which come right before it gives up, are left on.
/// For the whole process; idempotent.
void muteSynthLibraries();
