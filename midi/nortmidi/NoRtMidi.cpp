// Builds without RtMidi: the real service is absent.
#include "midi/RtMidiService.h"

std::shared_ptr<PortService> MakeRtMidiService() { return nullptr; }
std::string DetectMidiSystem() { return "none"; }
std::string StripAlsaPortNumbers(const std::string& name) { return name; }
