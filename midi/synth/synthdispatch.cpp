#include "midi/synth/synthdispatch.h"

#include <fluidsynth.h>

void playOnSynth(fluid_synth_t* synth, const ShortMessage& m) {
    const uint8_t status = m.bytes[0];
    const int chan = status & 0x0F;
    const int d1 = m.bytes[1];
    const int d2 = m.bytes[2];
    switch (status & 0xF0) {
        case 0x80:
            fluid_synth_noteoff(synth, chan, d1);
            break;
        case 0x90:
            fluid_synth_noteon(synth, chan, d1, d2);  // velocity 0 is a note off
            break;
        case 0xA0:
            fluid_synth_key_pressure(synth, chan, d1, d2);
            break;
        case 0xB0:
            // All Sound Off (120) and All Notes Off (123) both silence the channel at once:
            // drum sounds ignore note offs and would ring on, and the program's panic is an
            // All Notes Off on channel 10.
            if (d1 == 120 || d1 == 123)
                fluid_synth_all_sounds_off(synth, chan);
            else
                fluid_synth_cc(synth, chan, d1, d2);
            break;
        case 0xC0:
            fluid_synth_program_change(synth, chan, d1);
            break;
        case 0xD0:
            fluid_synth_channel_pressure(synth, chan, d1);
            break;
        case 0xE0:
            fluid_synth_pitch_bend(synth, chan, d1 | (d2 << 7));
            break;
        default:
            if (status == 0xFF) {
                fluid_synth_all_sounds_off(synth, -1);
                fluid_synth_system_reset(synth);
            }
            break;
    }
}
