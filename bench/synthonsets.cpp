#include "synthonsets.h"

SynthCapture captureBuiltinSynth(int /*stepMs*/, double /*seconds*/) {
    SynthCapture capture;
    capture.note = "built-in synth not connected to the benchmark yet";
    return capture;
}
