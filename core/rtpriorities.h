#pragma once

/// The SCHED_FIFO priorities of the program's real-time threads (1..99, higher runs first).
/// Each thread asks for its priority and runs at normal priority when it has no right to
/// real-time scheduling.
///
/// The order follows what a late wake-up costs:
///  - the synth's audio thread renders the sound itself: late, and the whole output drops
///    out for a moment, so it is highest;
///  - the ALSA sender puts each note on the wire at its due time: late, and that note is
///    late;
///  - the step timer only has to hand each step over one output lead ahead of its due
///    time: late by less than the lead, and nothing is heard at all, so it is lowest.
/// The JACK clients' threads (the JACK MIDI output's, and the synth's when it plays to
/// JACK) are not set here: the JACK server gives them its own priority.
namespace rtpriority {
/// The step timer's thread (Pulsor).
constexpr int kStepTimer = 40;
/// The thread that sends ALSA messages at their due times (ScheduledSender).
constexpr int kScheduledSender = 45;
/// FluidSynth's audio thread on its own audio drivers (ALSA, PulseAudio, PipeWire).
constexpr int kSynthAudio = 60;
}  // namespace rtpriority
