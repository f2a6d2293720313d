// The harvest run end to end against a virtual instrument on the loopback
// service, driven through a recording front end.  The test thread plays the
// GUI thread; replies are handled on the loopback's callback thread.
#include <gtest/gtest.h>

#include <future>

#include "catalogue/IntConv.h"
#include "harvest/SonarDoc.h"
#include "tests/harvest/RunRig.h"

namespace {

TSynth Fast(const std::string& numOfNames = "128") {
    TSynth m = DefaultSynth();
    m.SleepTime = 0;
    m.NumOfNames = numOfNames;
    return m;
}

// Default model, Number option on: "<p>=<p> - <name padded to 12>".
std::string SonarLine(int p, const std::string& name) {
    return std::to_string(p) + "=" + std::to_string(p) + " - " + Padded(name);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return text;
}

std::vector<std::string> Tail(const std::vector<std::string>& v, size_t n) {
    return std::vector<std::string>(v.end() - static_cast<std::ptrdiff_t>(std::min(n, v.size())),
                                    v.end());
}

void ExpectIdleAfterFinish(RunRig& rig) {
    EXPECT_EQ(rig.fe.ButtonCaption(), "Request");
    EXPECT_TRUE(rig.fe.FullClipboardVisible());
    EXPECT_TRUE(rig.fe.ModelListVisible());
    EXPECT_FALSE(rig.fe.TimerRunning());
    EXPECT_FALSE(rig.harvester->Harvesting());
    // Cleared right after the caption changes, as the last effect of the run.
    EXPECT_TRUE(Eventually([&] { return !rig.harvester->CancelRequested(); }));
    EXPECT_EQ(rig.fe.Copies(), 1);
    EXPECT_TRUE(rig.fe.Messages().empty());
}

TEST(HarvestRun, WholeBankOf128) {
    const auto names = NumberedNames(128);
    RunRig rig(Fast(), InstrumentFor(Fast(), names));
    rig.fe.sonar = false;
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));

    std::vector<std::string> expected;
    for (int p = 0; p < 128; ++p) expected.push_back(std::to_string(p) + " - " + Padded(names[p]));
    EXPECT_EQ(rig.fe.List(), expected);
    EXPECT_EQ(rig.fe.Clipboard(), Joined(expected));
    ExpectIdleAfterFinish(rig);
    EXPECT_TRUE(rig.fe.Errors().empty());
    EXPECT_EQ(rig.harvester->CurrentPatch(), 128);

    // Programs 0..127, then the finishing step's Program Change for 128 (0x80).
    std::vector<int> pcs;
    for (int p = 0; p <= 128; ++p) pcs.push_back(p);
    ASSERT_TRUE(Eventually([&] { return rig.ProgramChanges().size() >= 129; }));
    EXPECT_EQ(rig.ProgramChanges(), pcs);
    EXPECT_EQ(rig.synth->RequestsSeen(), 128);

    // The start and the end in the order the run makes them.
    const auto log = rig.fe.Log();
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 5),
              (std::vector<std::string>{"notice hidden", "clear", "timer start", "caption Cancel",
                                        "models hidden"}));
    EXPECT_EQ(Tail(log, 5), (std::vector<std::string>{"copy", "notice shown", "models shown",
                                                      "timer stop", "caption Request"}));
}

TEST(HarvestRun, SonarFragmentOfTwoPatchesByteForByte) {
    const TSynth m = Fast("2");
    RunRig rig(m, InstrumentFor(m, {"Strings 1", "Big Bass"}));
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    const std::string expected =
        ";SC User Patch 1 to 128\r\n"
        " \r\n"
        "; Created by Patchscribes\r\n"
        "; " +
        std::string(kMakerWebAddress) +
        "\r\n"
        " \r\n"
        " \r\n"
        ".Patch Names\r\n"
        " \r\n"
        "[SC User Patch 1 to 128]\r\n"
        "0=0 - Strings 1   \r\n"
        "1=1 - Big Bass    \r\n"
        " \r\n"
        ".Instrument Definitions\r\n"
        " \r\n"
        "BankSelMethod=1\r\n"
        " \r\n"
        "Patch[11136]=SC User Patch 1 to 128\r\n"
        " \r\n";
    EXPECT_EQ(rig.fe.Clipboard(), expected);
    ExpectIdleAfterFinish(rig);
}

TEST(HarvestRun, CancelLetsTheCurrentPatchCompleteThenFinishes) {
    const auto names = NumberedNames(128);
    RunRig rig(Fast(), InstrumentFor(Fast(), names));
    rig.synth->SetSilentFrom(5);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(6));  // the request for patch 5 is out, unanswered
    ASSERT_EQ(rig.fe.ButtonCaption(), "Cancel");
    rig.harvester->SendSysExClick();  // "Cancel"
    rig.harvester->SendSysExClick();  // pressed again: still only a cancel
    EXPECT_TRUE(rig.harvester->CancelRequested());
    EXPECT_TRUE(rig.harvester->Harvesting());

    rig.Inject(rig.synth->ReplyFor(5).front());  // patch 5 completes
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));

    const auto list = rig.fe.List();
    ASSERT_EQ(list.size(), 9u + 6u + 7u);  // header, patches 0..5, trailer
    EXPECT_EQ(list[9], SonarLine(0, names[0]));
    EXPECT_EQ(list[14], SonarLine(5, names[5]));
    EXPECT_EQ(list[15], " ");
    EXPECT_EQ(rig.fe.Clipboard(), Joined(list));
    ExpectIdleAfterFinish(rig);
    EXPECT_EQ(rig.fe.LogStartingWith("clear").size(), 1u);  // no second run started
    ASSERT_TRUE(Eventually([&] { return rig.ProgramChanges().size() >= 7; }));
    EXPECT_EQ(rig.ProgramChanges().back(), 0x80);  // the end number, 128
    EXPECT_EQ(rig.synth->RequestsSeen(), 6);
}

TEST(HarvestRun, TimeOutEndsTheRunWithItsNoticeAndCopiesNothing) {
    const auto names = NumberedNames(128);
    RunRig rig(Fast(), InstrumentFor(Fast(), names));
    rig.fe.sonar = false;
    rig.synth->SetSilentFrom(3);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(4));
    ASSERT_TRUE(rig.fe.WaitForLines(3));
    ASSERT_TRUE(rig.fe.WaitFor([&] { return rig.fe.TimerRunning(); }));
    ASSERT_TRUE(rig.fe.FireTimeOut(*rig.harvester));

    EXPECT_EQ(rig.fe.Messages(), std::vector<std::string>{"Time Out - no Midi received"});
    EXPECT_EQ(Tail(rig.fe.Log(), 4),
              (std::vector<std::string>{"timer stop", "caption Request",
                                        "message Time Out - no Midi received", "models shown"}));
    EXPECT_EQ(rig.fe.Copies(), 0);
    EXPECT_EQ(rig.fe.Clipboard(), "");
    EXPECT_FALSE(rig.fe.FullClipboardVisible());
    EXPECT_FALSE(rig.harvester->Harvesting());
    EXPECT_EQ(rig.fe.List().size(), 3u);
    EXPECT_EQ(rig.harvester->CurrentPatch(), 3);

    // A reply that comes after the time-out is neither counted nor read.
    TMemoryStream late;
    const Message reply = rig.synth->ReplyFor(3).front();
    late.Write(reply.data(), reply.size());
    late.SetPosition(0);
    const size_t logSize = rig.fe.Log().size();
    rig.harvester->HandleSysExData(0, late);
    EXPECT_EQ(rig.fe.Log().size(), logSize);
    EXPECT_EQ(blockCounter.load(), 0);
}

TEST(HarvestRun, TwoBlocksPerPatchNameInTheSecond) {
    TSynth m = Fast("8");
    m.NumSysexBlocks = 2;
    m.NameSyxBlk = 2;
    const auto names = NumberedNames(8);
    RunRig rig(m, InstrumentFor(m, names));
    rig.fe.sonar = false;
    rig.fe.number = false;
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    std::vector<std::string> expected;
    for (const auto& n : names) expected.push_back(Padded(n));
    EXPECT_EQ(rig.fe.List(), expected);
    EXPECT_EQ(rig.synth->RequestsSeen(), 8);
    ExpectIdleAfterFinish(rig);
}

TEST(HarvestRun, EmptyBankFinishesInTheFirstStep) {
    const TSynth m = Fast("0");
    RunRig rig(m, InstrumentFor(m, {}));
    rig.harvester->SendSysExClick();
    // All of it happened on this thread, inside the click.
    std::vector<std::string> expected = SonarHeaderLines(m);
    for (const auto& l : SonarTrailerLines(m)) expected.push_back(l);
    EXPECT_EQ(rig.fe.List(), expected);
    ExpectIdleAfterFinish(rig);
    ASSERT_TRUE(Eventually([&] { return !rig.ProgramChanges().empty(); }));
    EXPECT_EQ(rig.ProgramChanges(), std::vector<int>{0});
    EXPECT_EQ(rig.synth->RequestsSeen(), 0);
}

TEST(HarvestRun, UnrelatedSysExCountsAsAReplyBlock) {
    // The instrument sends one unrelated SysEx before each answer; a model
    // that expects two blocks with the name in the second reads every name.
    TSynth m = Fast("4");
    m.NumSysexBlocks = 2;
    m.NameSyxBlk = 2;
    InstrumentModel im = InstrumentFor(m, NumberedNames(4));
    im.numSysexBlocks = 1;
    im.nameSyxBlk = 1;
    RunRig rig(m, im);
    rig.synth->SetSendUnrelatedSysEx(true);
    rig.fe.sonar = false;
    rig.fe.number = false;
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    EXPECT_EQ(rig.fe.List(), (std::vector<std::string>{"Name 000    ", "Name 001    ",
                                                       "Name 002    ", "Name 003    "}));
}

TEST(HarvestRun, UnrelatedSysExAloneMovesTheRunOn) {
    RunRig rig(Fast("2"), InstrumentFor(Fast("2"), NumberedNames(2)));
    rig.synth->SetSilentFrom(0);
    rig.fe.sonar = false;
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(1));
    rig.Inject({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});            // identity request, not a reply
    ASSERT_TRUE(rig.WaitForRequests(2));                         // patch 1 requested
    EXPECT_EQ(rig.fe.List(), std::vector<std::string>{"0 - "});  // name field past the end
}

TEST(HarvestRun, OptionsChangedDuringARunApplyToTheLinesAfter) {
    const TSynth m = Fast("5");
    const auto names = NumberedNames(5);
    RunRig rig(m, InstrumentFor(m, names));
    rig.synth->SetSilentFrom(3);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(4));
    ASSERT_TRUE(rig.fe.WaitForLines(9 + 3));
    rig.fe.sonar = false;
    rig.fe.number = false;
    rig.Inject(rig.synth->ReplyFor(3).front());
    ASSERT_TRUE(rig.WaitForRequests(5));
    rig.Inject(rig.synth->ReplyFor(4).front());
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));

    std::vector<std::string> expected = SonarHeaderLines(m);
    for (int p = 0; p < 3; ++p) expected.push_back(SonarLine(p, names[p]));
    expected.push_back(Padded(names[3]));
    expected.push_back(Padded(names[4]));  // and no trailer: Sonar is off at the end
    EXPECT_EQ(rig.fe.List(), expected);

    // Switched on during a run: a trailer without a header.  Patch 0 of this
    // run is request 5 of the instrument; from patch 1 on it waits for us.
    rig.fe.sonar = false;
    rig.synth->SetSilentFrom(6);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(7));
    rig.fe.sonar = true;
    for (int p = 1; p < 5; ++p) {
        ASSERT_TRUE(rig.WaitForRequests(6 + p));
        rig.Inject(rig.synth->ReplyFor(p).front());
    }
    ASSERT_TRUE(rig.fe.WaitFor([&] { return rig.fe.Copies() == 2; }));
    const auto list = rig.fe.List();
    EXPECT_EQ(list.front(), Padded(names[0]));
    EXPECT_EQ(list[1], "1=" + Padded(names[1]));
    EXPECT_EQ(list.back(), " ");
    EXPECT_EQ(list[list.size() - 2], "Patch[11136]=SC User Patch 1 to 128");
}

TEST(HarvestRun, CategoryErrorCostsThatPatchItsLineAndTheRunGoesOn) {
    TSynth m = Fast("4");
    m.Category = "Types";
    m.CatPos = 24;
    InstrumentModel im = InstrumentFor(m, NumberedNames(4));
    im.categories = {0, 1, 9, 2};
    RunRig rig(m, im);
    rig.state.categoryNames = {"Pad", "Lead", "Bass"};
    rig.fe.sonar = false;
    rig.fe.number = false;
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    EXPECT_EQ(rig.fe.List(), (std::vector<std::string>{"Pad-Name 000    ", "Lead-Name 001    ",
                                                       "Bass-Name 003    "}));
    EXPECT_EQ(rig.fe.Errors(), std::vector<std::string>{"List index out of bounds (9)"});
    EXPECT_EQ(rig.synth->RequestsSeen(), 4);
    ExpectIdleAfterFinish(rig);
}

TEST(HarvestRun, ReplyLongerThanTheWindowKeepsItsFirstThousandBytes) {
    TSynth m = Fast("3");
    RunRig rig(m, InstrumentFor(m, NumberedNames(3)));
    rig.synth->SetBlockLength(1500);
    rig.fe.sonar = false;
    rig.fe.number = false;
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    EXPECT_EQ(rig.fe.List(),
              (std::vector<std::string>{"Name 000    ", "Name 001    ", "Name 002    "}));
}

TEST(HarvestRun, EveryRunCountsBlocksFromZero) {
    TSynth m = Fast("2");
    m.NumSysexBlocks = 2;
    m.NameSyxBlk = 2;
    const auto names = NumberedNames(2);
    RunRig rig(m, InstrumentFor(m, names));
    rig.fe.sonar = false;
    rig.fe.number = false;
    rig.synth->SetSilentFrom(0);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(1));
    rig.Inject(rig.synth->ReplyFor(0).front());  // one block of two, then silence
    ASSERT_TRUE(Eventually([&] { return blockCounter.load() == 1; }));
    ASSERT_TRUE(rig.fe.WaitFor([&] { return rig.fe.TimerRunning(); }));
    ASSERT_TRUE(rig.fe.FireTimeOut(*rig.harvester));

    rig.synth->SetSilentFrom(-1);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    EXPECT_EQ(rig.fe.List(), (std::vector<std::string>{Padded(names[0]), Padded(names[1])}));
}

TEST(HarvestRun, NoBlockParsedWhenNameBlockIsOutOfRange) {
    for (int32_t nameBlk : {0, 2}) {
        TSynth m = Fast("4");
        m.NameSyxBlk = nameBlk;
        InstrumentModel im = InstrumentFor(m, NumberedNames(4));
        im.nameSyxBlk = 1;
        RunRig rig(m, im);
        rig.fe.sonar = false;
        rig.harvester->SendSysExClick();
        ASSERT_TRUE(rig.fe.WaitForCaption("Request")) << nameBlk;
        EXPECT_TRUE(rig.fe.List().empty());
        EXPECT_EQ(rig.synth->RequestsSeen(), 4);
        EXPECT_EQ(rig.fe.Copies(), 1);
        EXPECT_EQ(rig.fe.Clipboard(), "");
    }
}

TEST(HarvestRun, NoBlockCountBelowOneNeverLeavesTheFirstPatch) {
    TSynth m = Fast("4");
    m.NumSysexBlocks = 0;
    InstrumentModel im = InstrumentFor(m, NumberedNames(4));
    im.numSysexBlocks = 1;
    RunRig rig(m, im);
    rig.fe.sonar = false;
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForLines(1));
    ASSERT_TRUE(rig.fe.WaitFor([&] { return rig.fe.TimerRunning(); }));
    EXPECT_EQ(rig.synth->RequestsSeen(), 1);
    ASSERT_TRUE(rig.fe.FireTimeOut(*rig.harvester));
    EXPECT_EQ(rig.fe.Messages(), std::vector<std::string>{"Time Out - no Midi received"});
    EXPECT_EQ(rig.harvester->CurrentPatch(), 0);
}

TEST(HarvestRun, BadBankNumberCostsTheTrailerButTheListIsCopied) {
    // In the first step (empty bank) the error leaves the click ...
    TSynth m = Fast("0");
    m.BankMSB = "zz";
    {
        RunRig rig(m, InstrumentFor(m, {}));
        try {
            rig.harvester->SendSysExClick();
            ADD_FAILURE() << "no error";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'zz' is not a valid integer value");
        }
        EXPECT_EQ(rig.fe.List(), SonarHeaderLines(m));
        ExpectIdleAfterFinish(rig);
    }
    // ... on the callback thread it is reported.
    m.NumOfNames = "2";
    RunRig rig(m, InstrumentFor(m, NumberedNames(2)));
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    ASSERT_TRUE(rig.fe.WaitFor([&] { return !rig.fe.Errors().empty(); }));
    EXPECT_EQ(rig.fe.Errors(), std::vector<std::string>{"'zz' is not a valid integer value"});
    EXPECT_EQ(rig.fe.List().size(), 9u + 2u);
    ExpectIdleAfterFinish(rig);
}

TEST(HarvestRun, BadBankSizeFailsTheFirstStepAndTheTimeOutEndsTheRun) {
    TSynth m = Fast("12x");
    RunRig rig(m, InstrumentFor(m, {}));
    try {
        rig.harvester->SendSysExClick();
        ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()), "'12x' is not a valid integer value");
    }
    EXPECT_TRUE(rig.synth->Received().empty());
    EXPECT_EQ(rig.fe.ButtonCaption(), "Cancel");
    ASSERT_TRUE(rig.fe.FireTimeOut(*rig.harvester));
    EXPECT_EQ(rig.fe.Messages(), std::vector<std::string>{"Time Out - no Midi received"});
    EXPECT_EQ(rig.fe.ButtonCaption(), "Request");
    EXPECT_TRUE(rig.fe.ModelListVisible());
}

TEST(HarvestRun, TimeOutAfterTheRunHasEndedShowsNothing) {
    const TSynth m = Fast("2");
    RunRig rig(m, InstrumentFor(m, NumberedNames(2)));
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    rig.harvester->TimeOutTimer();  // a late start of the timer fired it
    EXPECT_TRUE(rig.fe.Messages().empty());
    EXPECT_EQ(rig.fe.ButtonCaption(), "Request");
    EXPECT_TRUE(rig.fe.FullClipboardVisible());
    EXPECT_FALSE(rig.fe.TimerRunning());
}

TEST(HarvestRun, OutputErrorInALaterStepEndsTheRunWithoutTheNotice) {
    const auto names = NumberedNames(8);
    RunRig rig(Fast("8"), InstrumentFor(Fast("8"), names));
    rig.fe.sonar = false;
    rig.synth->SetSilentFrom(2);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(3));
    rig.service->FailNext("OutShortMsg", kMidiSystemRefused);
    rig.Inject(rig.synth->ReplyFor(2).front());
    ASSERT_TRUE(rig.fe.WaitForCaption("Request"));
    ASSERT_TRUE(rig.fe.WaitFor([&] { return !rig.fe.Errors().empty(); }));
    std::string text;
    ASSERT_TRUE(StandardMidiErrorText(kMidiSystemRefused, text));
    EXPECT_EQ(rig.fe.Errors(), std::vector<std::string>{text});
    EXPECT_TRUE(rig.fe.Messages().empty());
    EXPECT_EQ(rig.fe.Copies(), 0);
    EXPECT_FALSE(rig.fe.FullClipboardVisible());
    EXPECT_TRUE(rig.fe.ModelListVisible());
    EXPECT_FALSE(rig.fe.TimerRunning());
    EXPECT_FALSE(rig.harvester->Harvesting());
    EXPECT_EQ(rig.fe.List().size(), 3u);
    rig.service->FailNext("OutShortMsg", kMidiOk);
}

TEST(HarvestRun, ShutdownWhileRepliesFlowIsPromptAndSendsNothingMore) {
    TSynth m = Fast();
    m.SleepTime = 2;
    RunRig rig(m, InstrumentFor(m, NumberedNames(128)));
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.fe.WaitForLines(9 + 10));

    auto done = std::async(std::launch::async, [&] {
        rig.harvester->EndForShutdown();
        const size_t sent = rig.synth->Received().size();
        rig.Shutdown();
        return sent;
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const size_t sentAtShutdown = done.get();
    EXPECT_EQ(rig.synth->Received().size(), sentAtShutdown);
    EXPECT_EQ(rig.fe.Copies(), 0);
    EXPECT_TRUE(rig.fe.Messages().empty());
    EXPECT_TRUE(rig.fe.Errors().empty());
}

TEST(HarvestRun, ShutdownCutsALongPauseShort) {
    TSynth m = Fast("4");
    RunRig rig(m, InstrumentFor(m, NumberedNames(4)));
    rig.synth->SetSilentFrom(0);
    rig.harvester->SendSysExClick();
    ASSERT_TRUE(rig.WaitForRequests(1));
    // No reply has arrived yet, so no handler reads the model now.
    rig.state.current.SleepTime = 600000;
    rig.Inject(rig.synth->ReplyFor(0).front());
    ASSERT_TRUE(rig.fe.WaitForLines(9 + 1));  // the handler goes on into the next step's pause

    auto done = std::async(std::launch::async, [&] { rig.Shutdown(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(rig.synth->RequestsSeen(), 1);
}

}  // namespace
