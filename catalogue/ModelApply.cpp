#include "catalogue/ModelApply.h"

#include <algorithm>

#include "catalogue/IntConv.h"
#include "midi/Midi.h"

namespace {
// Status bytes are formed in 8 bits: the channel is added without a range check.
uint8_t StatusByte(uint8_t base, int32_t channelIndex) {
    return static_cast<uint8_t>(base + static_cast<uint32_t>(channelIndex));
}
uint8_t DataByte(int32_t value) {
    return static_cast<uint8_t>(static_cast<uint32_t>(value));
}
}  // namespace

void ApplyModel(const std::string& modelListText, const TSynthTable& synths, int32_t synthCount,
                IniFile& ini, int32_t outDeviceIndex, TModelState& state, IModelView& view) {
    // The table holds at most kMaxSynths models even when [Synths] Total says more.
    const int32_t loaded = std::clamp<int32_t>(synthCount, 0, kMaxSynths);
    const int index = FindSynthByName(synths, loaded, modelListText);
    if (index < 0) return;  // nothing selected that names a loaded model: nothing to apply

    state.currentIndex = index;
    state.current = synths[static_cast<size_t>(index)];
    const TSynth& model = state.current;

    view.SetCategoryBoxVisible(!model.Category.empty());
    view.SetSynthTypeFontSize(model.FontSize);
    view.SetNotes(model.Notes);

    // Channel 1..16 in the settings file, 0..15 in status bytes; wraps like
    // the 8-bit status arithmetic instead of overflowing.
    state.channelIndex = static_cast<int32_t>(static_cast<uint32_t>(StrToInt(model.Channel)) - 1u);

    state.categoryNames.clear();
    if (!model.Category.empty()) state.categoryNames = ReadCategoryNames(ini, model.Category);

    view.SetSynthTypeCaption(modelListText);

    TMidiOutput& out = MidiOutput();
    if (!model.RequestMode.empty()) out.SendSysEx(outDeviceIndex, model.RequestMode);
    // Each bank value is converted right before its message, so a bad LSB
    // still lets the MSB go out.
    out.Send(outDeviceIndex, StatusByte(0xB0, state.channelIndex), 0,
             DataByte(StrToInt(model.BankMSB)));
    out.Send(outDeviceIndex, StatusByte(0xB0, state.channelIndex), 32,
             DataByte(StrToInt(model.BankLSB)));
    out.Send(outDeviceIndex, StatusByte(0xC0, state.channelIndex), 0, 0);
}
