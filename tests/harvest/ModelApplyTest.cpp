// Applying a model: the working copy, the view's labels and the set-up
// messages the instrument receives, in order, and what a failure leaves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "catalogue/IniFile.h"
#include "catalogue/IntConv.h"
#include "catalogue/ModelApply.h"
#include "tests/harvest/RunRig.h"

namespace {

class RecordingView : public IModelView {
public:
    std::vector<std::string> calls;
    void SetCategoryBoxVisible(bool v) override { calls.push_back(v ? "cat shown" : "cat hidden"); }
    void SetSynthTypeFontSize(int p) override { calls.push_back("font " + std::to_string(p)); }
    void SetNotes(const std::string& t) override { calls.push_back("notes " + t); }
    void SetSynthTypeCaption(const std::string& c) override { calls.push_back("caption " + c); }
};

class ApplyModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("patchscribe-apply-" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "apply.INI") << "[Strings]\nTotal=3\nCat0=Violin\nCat2=Cello\n"
                                             "[Leads]\nTotal=1\nCat0=Saw\n";
        ini_ = std::make_unique<IniFile>((dir_ / "apply.INI").string());
        service_ = std::make_shared<LoopbackService>();
        synth_ = std::make_shared<VirtualInstrument>(InstrumentModel{});
        service_->AddDevicePair("Virtual Synth", synth_);
        SetPortService(service_);
        MidiOutput().Open(0);
    }
    void TearDown() override {
        MidiOutput().Close(0);
        FreeMidiDevices();
        SetPortService(nullptr);
        ini_.reset();
        std::filesystem::remove_all(dir_);
    }

    // Puts models into the table (the rest stay empty entries) and applies text.
    void Apply(const std::string& text) {
        ApplyModel(text, synths_, count_, *ini_, 0, state_, view_);
    }
    void Add(const TSynth& m) { synths_[static_cast<size_t>(count_++)] = m; }
    std::vector<Message> Received(size_t atLeast) {
        Eventually([&] { return synth_->Received().size() >= atLeast; });
        return synth_->Received();
    }

    std::filesystem::path dir_;
    std::unique_ptr<IniFile> ini_;
    std::shared_ptr<LoopbackService> service_;
    std::shared_ptr<VirtualInstrument> synth_;
    TSynthTable synths_{};
    int32_t count_ = 0;
    TModelState state_;
    RecordingView view_;
};

TSynth Model(const std::string& name) {
    TSynth m = DefaultSynth();
    m.Name = name;
    return m;
}

TEST_F(ApplyModelTest, DefaultModelSendsBankSelectThenProgramZero) {
    Add(Model("SC User Patch 1 to 128"));
    Apply("SC User Patch 1 to 128");
    EXPECT_EQ(Received(3),
              (std::vector<Message>{{0xB0, 0x00, 0x57}, {0xB0, 0x20, 0x00}, {0xC0, 0x00}}));
    EXPECT_EQ(view_.calls, (std::vector<std::string>{"cat hidden", "font 12", "notes ",
                                                     "caption SC User Patch 1 to 128"}));
    EXPECT_EQ(state_.current, synths_[0]);
    EXPECT_EQ(state_.currentIndex, 0);
    EXPECT_EQ(state_.channelIndex, 0);
    EXPECT_TRUE(state_.categoryNames.empty());
}

TEST_F(ApplyModelTest, ChannelTenGoesIntoEveryStatusByte) {
    TSynth m = Model("Drums");
    m.Channel = "10";
    Add(m);
    Apply("Drums");
    EXPECT_EQ(state_.channelIndex, 9);
    EXPECT_EQ(Received(3),
              (std::vector<Message>{{0xB9, 0x00, 0x57}, {0xB9, 0x20, 0x00}, {0xC9, 0x00}}));
}

TEST_F(ApplyModelTest, ValuesAreTakenInEightBits) {
    TSynth m = Model("Wide");
    m.Channel = "$10";  // channel 16
    m.BankMSB = "300";  // 0x12C: data byte 0x2C
    m.BankLSB = "-1";   // 0xFFFFFFFF: data byte 0xFF
    Add(m);
    Apply("Wide");
    EXPECT_EQ(Received(3),
              (std::vector<Message>{{0xBF, 0x00, 0x2C}, {0xBF, 0x20, 0xFF}, {0xCF, 0x00}}));
}

TEST_F(ApplyModelTest, ModeSysExGoesFirst) {
    TSynth m = Model("Mode");
    m.RequestMode = "F0 43 10 4C 00 00 7E 00 F7";
    m.Notes = "Set the synth to multi mode";
    m.FontSize = 8;
    Add(m);
    Apply("Mode");
    EXPECT_EQ(Received(4),
              (std::vector<Message>{{0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7},
                                    {0xB0, 0x00, 0x57},
                                    {0xB0, 0x20, 0x00},
                                    {0xC0, 0x00}}));
    EXPECT_EQ(view_.calls,
              (std::vector<std::string>{"cat hidden", "font 8", "notes Set the synth to multi mode",
                                        "caption Mode"}));
}

TEST_F(ApplyModelTest, CategoriesComeFromTheirSection) {
    TSynth strings = Model("Strings Bank");
    strings.Category = "strings";  // section names ignore letter case
    TSynth missing = Model("Nowhere");
    missing.Category = "NoSuchSection";
    Add(strings);
    Add(missing);
    Add(Model("Plain"));

    Apply("Strings Bank");
    EXPECT_EQ(state_.categoryNames, (std::vector<std::string>{"Violin", "", "Cello"}));
    EXPECT_EQ(view_.calls.front(), "cat shown");
    view_.calls.clear();
    Apply("Nowhere");
    EXPECT_TRUE(state_.categoryNames.empty());
    EXPECT_EQ(view_.calls.front(), "cat shown");
    Apply("Strings Bank");
    view_.calls.clear();
    Apply("Plain");
    EXPECT_TRUE(state_.categoryNames.empty());
    EXPECT_EQ(view_.calls.front(), "cat hidden");
}

TEST_F(ApplyModelTest, TheLowestEntryOfAnExactNameIsApplied) {
    TSynth a = Model("Same");
    a.Channel = "2";
    TSynth b = Model("Same");
    b.Channel = "3";
    Add(Model("same"));  // differs in case only: not equal
    Add(a);
    Add(b);
    Apply("Same");
    EXPECT_EQ(state_.currentIndex, 1);
    EXPECT_EQ(state_.channelIndex, 1);
}

TEST_F(ApplyModelTest, NoMatchingModelChangesNothingAndSendsNothing) {
    Add(Model("Only"));
    Apply("Only");
    const TModelState before = state_;
    const size_t received = Received(3).size();
    view_.calls.clear();
    Apply("");  // an empty model list has no selection
    Apply("Other");
    count_ = 0;
    Apply("Only");  // not among the loaded models
    EXPECT_TRUE(view_.calls.empty());
    EXPECT_EQ(state_.current, before.current);
    EXPECT_EQ(state_.currentIndex, before.currentIndex);
    EXPECT_EQ(state_.channelIndex, before.channelIndex);
    EXPECT_EQ(synth_->Received().size(), received);
}

TEST_F(ApplyModelTest, ACountAboveTheTableSearchesOnlyTheTable) {
    Add(Model("First"));
    count_ = 5000;
    Apply("Missing");
    EXPECT_TRUE(view_.calls.empty());
    Apply("First");
    EXPECT_EQ(state_.currentIndex, 0);
}

struct FailureCase {
    std::string channel, msb, lsb;
    std::string message;
    std::vector<Message> sent;
    bool channelUpdated;
};

class ApplyModelFailure : public ApplyModelTest,
                          public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ApplyModelFailure, StepsBeforeTheBadValueStayDone) {
    const FailureCase& c = GetParam();
    TSynth good = Model("Good");
    good.Category = "Leads";
    good.Channel = "4";
    TSynth bad = Model("Bad");
    bad.RequestMode = "F0 7E 7F 09 01 F7";
    bad.Channel = c.channel;
    bad.BankMSB = c.msb;
    bad.BankLSB = c.lsb;
    bad.Notes = "bad one";
    Add(good);
    Add(bad);
    Apply("Good");
    Received(3);
    synth_->ClearReceived();
    view_.calls.clear();

    try {
        Apply("Bad");
        ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
    // The working copy and the first labels are the new model's already.
    EXPECT_EQ(state_.current, bad);
    EXPECT_EQ(state_.currentIndex, 1);
    if (c.channelUpdated) {
        EXPECT_EQ(state_.channelIndex, 0);
        EXPECT_TRUE(state_.categoryNames.empty());
        EXPECT_EQ(view_.calls.back(), "caption Bad");
    } else {
        EXPECT_EQ(state_.channelIndex, 3);  // the previous model's
        EXPECT_EQ(state_.categoryNames, std::vector<std::string>{"Saw"});
        EXPECT_EQ(view_.calls,
                  (std::vector<std::string>{"cat hidden", "font 12", "notes bad one"}));
    }
    EXPECT_EQ(Received(c.sent.size()), c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplyModelFailure,
    ::testing::Values(FailureCase{"", "87", "00", "'' is not a valid integer value", {}, false},
                      FailureCase{
                          "one", "87", "00", "'one' is not a valid integer value", {}, false},
                      FailureCase{"1",
                                  "8 7",
                                  "00",
                                  "'8 7' is not a valid integer value",
                                  {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},
                                  true},
                      FailureCase{"1",
                                  "87",
                                  "",
                                  "'' is not a valid integer value",
                                  {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0xB0, 0x00, 0x57}},
                                  true}));

}  // namespace
