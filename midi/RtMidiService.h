// The real port service on RtMidi: the ALSA sequencer when it can be opened,
// otherwise a running JACK server, otherwise no devices.
#pragma once

#include <memory>
#include <string>

#include "midi/PortService.h"

// Null when RtMidi support is not built.
std::shared_ptr<PortService> MakeRtMidiService();

// Which MIDI system the real service would use now: "alsa", "jack" or "none".
std::string DetectMidiSystem();
