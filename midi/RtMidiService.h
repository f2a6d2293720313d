// The real port service on RtMidi: the ALSA sequencer when it can be opened,
// otherwise a running JACK server, otherwise no devices.
//
// The environment variable PATCHSCRIBE_MIDI_SYSTEM ("alsa", "jack" or
// "none") narrows the choice to that one system, for example to run on JACK
// on a machine that also has an ALSA sequencer; when the named system is not
// available the service has no devices.  JACK clients connect to the server
// that JACK_DEFAULT_SERVER names, as every JACK client does.
#pragma once

#include <memory>
#include <string>

#include "midi/PortService.h"

// Null when RtMidi support is not built.
std::shared_ptr<PortService> MakeRtMidiService();

// Which MIDI system the real service would use now: "alsa", "jack" or "none".
std::string DetectMidiSystem();

// An ALSA port name without the trailing " client:port" numbers, which change
// from boot to boot ("Midi Through:Midi Through Port-0 14:0" becomes
// "Midi Through:Midi Through Port-0").  Other names are returned unchanged.
std::string StripAlsaPortNumbers(const std::string& name);
