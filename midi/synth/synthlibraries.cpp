#include "midi/synth/synthlibraries.h"

#include <alsa/asoundlib.h>
#include <fluidsynth.h>

#include <mutex>

#include "midi/jack/jackclient.h"

namespace {
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
}  // namespace

void muteSynthLibraries() {
    jackclient::muteLibrary();
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level : {FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG})
            fluid_set_log_function(level, nullptr, nullptr);
        snd_lib_error_set_handler(&quietAlsa);
    });
}
