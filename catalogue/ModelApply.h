// Applying a chosen model: the working copy, the labels, the category names
// and the set-up messages to the instrument (mode SysEx, Bank Select, Program
// Change 0).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/Synth.h"

class IniFile;

// What an apply leaves behind for the harvest.
struct TModelState {
    TSynth current;                        // working copy of the applied model
    int32_t currentIndex = 0;              // its table index
    int32_t channelIndex = 0;              // Channel - 1
    std::vector<std::string> categoryNames;
};

// The window's side of an apply.  Called on the thread that applies (the GUI
// thread), in the order of the apply's steps.
class IModelView {
public:
    virtual ~IModelView() = default;
    virtual void SetCategoryBoxVisible(bool visible) = 0;   // cbCat
    virtual void SetSynthTypeFontSize(int points) = 0;      // lSynthType
    virtual void SetNotes(const std::string& text) = 0;     // lNotes: caption, shown iff not empty
    virtual void SetSynthTypeCaption(const std::string& caption) = 0;  // lSynthType
};

// The apply (the model list's close-up): applies the model whose Name equals
// modelListText exactly (lowest index).  When no loaded model matches it
// changes nothing and says nothing.  Sends through MidiOutput() to
// outDeviceIndex.  Errors leave as exceptions; steps done before stay done.
void ApplyModel(const std::string& modelListText, const TSynthTable& synths, int32_t synthCount,
                IniFile& ini, int32_t outDeviceIndex, TModelState& state, IModelView& view);
