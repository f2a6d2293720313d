#include "app/Main.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "app/Controls.h"
#include "catalogue/IniFile.h"
#include "midi/Midi.h"

TfPatchscribe* fPatchscribe = nullptr;

namespace {
const char* const kTitle = "Patchscribe";

// Settings texts and port names are 8-bit text; show UTF-8 as UTF-8 and any
// other byte string as Latin-1, so that no byte is lost on the way.
QString ToQt(const std::string& s) {
    QString utf8 = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    if (!utf8.contains(QChar::ReplacementCharacter)) return utf8;
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string MessageOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

TMessagePresenter& Presenter() {
    static TMessagePresenter presenter;
    return presenter;
}

void SetLook(QWidget* w, bool bold, int points = 0) {
    QFont f = w->font();
    f.setBold(bold);
    if (points > 0) f.setPointSize(points);
    w->setFont(f);
}

void SetColours(QWidget* w, const QColor& text, const QColor& background) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::ButtonText, text);
    if (background.isValid()) {
        p.setColor(QPalette::Window, background);
        w->setAutoFillBackground(true);
    }
    w->setPalette(p);
}

void KeepPlaceWhenHidden(QWidget* w) {
    QSizePolicy p = w->sizePolicy();
    p.setRetainSizeWhenHidden(true);
    w->setSizePolicy(p);
}
}  // namespace

// The window's handlers as the input set calls them.  The window cuts the
// link at shutdown and waits for calls already inside, so no handler reaches
// a window that is going away; the input set may keep the (then idle) link.
struct TfPatchscribe::InputBridge {
    std::atomic<THarvester*> target{nullptr};
    TfPatchscribe* window = nullptr;  // reached only while target is set
    std::atomic<int> inside{0};

    template <typename Fn>
    void Call(Fn&& fn) {
        inside.fetch_add(1);
        if (THarvester* h = target.load()) fn(*h);
        inside.fetch_sub(1);
    }
    void Disconnect() {
        target.store(nullptr);
        while (inside.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TfPatchscribe::TfPatchscribe(std::string settingsPath, QWidget* parent)
    : QWidget(parent),
      settingsPath_(settingsPath.empty() ? SettingsPathFor(ExecutablePath())
                                         : std::move(settingsPath)),
      synths(std::make_unique<TSynthTable>()),
      bridge_(std::make_shared<InputBridge>()) {
    fPatchscribe = this;
    bridge_->window = this;
    harvester_ = std::make_unique<THarvester>(*this, model_);
    BuildControls();
    try {
        FormCreate();
    } catch (...) {
        PresentMessage(TMessageKind::Error, ToQt(MessageOf(std::current_exception())));
    }
    pcMain->setCurrentWidget(tsGetName);
}

TfPatchscribe::~TfPatchscribe() {
    if (!destroyed_) FormDestroy();
    if (fPatchscribe == this) fPatchscribe = nullptr;
}

void TfPatchscribe::SetMessagePresenter(TMessagePresenter presenter) {
    Presenter() = std::move(presenter);
}

void TfPatchscribe::PresentMessage(TMessageKind kind, const QString& text) {
    if (Presenter()) {
        Presenter()(kind, kTitle, text);
        return;
    }
    QMessageBox box(kind == TMessageKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon,
                    kTitle, text, QMessageBox::Ok, fPatchscribe);
    box.exec();
}

void TfPatchscribe::BuildControls() {
    setObjectName("fPatchscribe");
    setWindowTitle(kTitle);
    QFont base = font();
    base.setFamily("Sans Serif");
    base.setStyleHint(QFont::SansSerif);
    base.setPointSize(8);
    setFont(base);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    pcMain = new QTabWidget(this);
    pcMain->setObjectName("pcMain");
    outer->addWidget(pcMain);

    // "Midi I/O": the two port lists.
    tsMidiInOut = new QWidget;
    tsMidiInOut->setObjectName("tsMidiInOut");
    auto* io = new QVBoxLayout(tsMidiInOut);
    Label1 = new QLabel("Midi Input Devices:");
    Label1->setObjectName("Label1");
    SetLook(Label1, true);
    lbMidiIn = new TPortListBox;
    lbMidiIn->setObjectName("lbMidiIn");
    SetLook(lbMidiIn, false, 10);
    Label2 = new QLabel("Midi Output Devices:");
    Label2->setObjectName("Label2");
    SetLook(Label2, true);
    lbMidiOut = new TPortListBox;
    lbMidiOut->setObjectName("lbMidiOut");
    SetLook(lbMidiOut, false, 10);
    io->addWidget(Label1);
    io->addWidget(lbMidiIn, 1);
    io->addSpacing(6);
    io->addWidget(Label2);
    io->addWidget(lbMidiOut, 1);
    pcMain->addTab(tsMidiInOut, "Midi I/O");

    // "Get Names": model, options, the request button and the list.
    tsGetName = new QWidget;
    tsGetName->setObjectName("tsGetName");
    auto* gn = new QVBoxLayout(tsGetName);
    lSynthType = new QLabel("Synth Name");
    lSynthType->setObjectName("lSynthType");
    lSynthType->setAlignment(Qt::AlignCenter);
    SetLook(lSynthType, true, 12);
    SetColours(lSynthType, QColor(0, 0, 255), QColor());
    gn->addWidget(lSynthType);

    auto* optionsRow = new QHBoxLayout;
    auto* options = new QVBoxLayout;
    Label3 = new QLabel("Include...");
    Label3->setObjectName("Label3");
    SetLook(Label3, true);
    options->addWidget(Label3);
    auto* boxes = new QHBoxLayout;
    cbSonar = new QCheckBox("Sonar");
    cbSonar->setObjectName("cbSonar");
    cbIncludeNumber = new QCheckBox("Number");
    cbIncludeNumber->setObjectName("cbIncludeNumber");
    cbCat = new QCheckBox("Category");
    cbCat->setObjectName("cbCat");
    for (QCheckBox* box : {cbSonar, cbIncludeNumber, cbCat}) {
        SetLook(box, true);
        box->setChecked(true);
        boxes->addWidget(box);
    }
    KeepPlaceWhenHidden(cbCat);
    cbCat->hide();  // shown by an apply whose model has categories
    boxes->addStretch(1);
    options->addLayout(boxes);
    optionsRow->addLayout(options, 1);
    lFullClipboard = new QLabel(" Now in clipboard ! ");
    lFullClipboard->setObjectName("lFullClipboard");
    lFullClipboard->setAlignment(Qt::AlignCenter);
    lFullClipboard->setMargin(3);
    SetLook(lFullClipboard, true, 12);
    SetColours(lFullClipboard, QColor(192, 192, 192), QColor(255, 0, 0));
    KeepPlaceWhenHidden(lFullClipboard);
    lFullClipboard->hide();
    optionsRow->addWidget(lFullClipboard, 0, Qt::AlignVCenter);
    gn->addLayout(optionsRow);

    lSynthBank = new QLabel("Synth Banks");
    lSynthBank->setObjectName("lSynthBank");
    SetLook(lSynthBank, true);
    KeepPlaceWhenHidden(lSynthBank);
    gn->addWidget(lSynthBank);
    cbModel = new TModelComboBox;
    cbModel->setObjectName("cbModel");
    cbModel->setMaxVisibleItems(20);
    cbModel->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbModel->setMinimumContentsLength(24);
    KeepPlaceWhenHidden(cbModel);
    gn->addWidget(cbModel);

    lNotes = new QLabel;
    lNotes->setObjectName("lNotes");
    lNotes->setAlignment(Qt::AlignCenter);
    lNotes->setWordWrap(true);
    lNotes->setMargin(3);
    lNotes->setFixedWidth(320);
    SetLook(lNotes, true);
    SetColours(lNotes, QColor(255, 255, 0), QColor(0, 0, 160));
    lNotes->hide();  // shown by an apply whose model has notes
    gn->addWidget(lNotes, 0, Qt::AlignHCenter);

    btnSendSysEx = new QPushButton("Get Names");
    btnSendSysEx->setObjectName("btnSendSysEx");
    SetLook(btnSendSysEx, true, 10);
    SetColours(btnSendSysEx, QColor(255, 0, 0), QColor());
    btnSendSysEx->setMinimumHeight(28);
    gn->addWidget(btnSendSysEx);

    NameList = new QPlainTextEdit;
    NameList->setObjectName("NameList");
    NameList->setLineWrapMode(QPlainTextEdit::NoWrap);
    NameList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    gn->addWidget(NameList, 1);
    pcMain->addTab(tsGetName, "Get Names");

    TimeOut = new QTimer(this);
    TimeOut->setObjectName("TimeOut");
    TimeOut->setInterval(THarvester::kTimeOutMs);
    TimeOut->setSingleShot(true);

    resize(400, 560);

    connect(lbMidiIn, &TPortListBox::userChose, this,
            [this] { RunHandler([this] { lbMidiInClick(); }); });
    connect(lbMidiOut, &TPortListBox::userChose, this,
            [this] { RunHandler([this] { lbMidiOutClick(); }); });
    connect(cbCat, &QCheckBox::toggled, this, [this](bool on) {
        categoryOn_ = on && cbCat->isEnabled();
        RunHandler([this] { cbCatClick(); });
    });
    connect(cbIncludeNumber, &QCheckBox::toggled, this, [this](bool on) {
        numberOn_ = on;
        RunHandler([this] { cbIncludeNumberClick(); });
    });
    connect(cbSonar, &QCheckBox::toggled, this, [this](bool on) {
        sonarOn_ = on;
        RunHandler([this] { cbSonarClick(); });
    });
    connect(cbModel, &TModelComboBox::userChanged, this,
            [this] { RunHandler([this] { cbModelChange(); }); });
    connect(cbModel, &TModelComboBox::closedUp, this,
            [this] { RunHandler([this] { cbModelCloseUp(); }); });
    connect(btnSendSysEx, &QPushButton::clicked, this,
            [this] { RunHandler([this] { btnSendSysExClick(); }); });
    connect(TimeOut, &QTimer::timeout, this, [this] { RunHandler([this] { TimeOutTimer(); }); });
}

void TfPatchscribe::RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        if (deferErrors_ > 0) {
            deferred_ = std::current_exception();
            return;
        }
        PresentMessage(TMessageKind::Error, ToQt(MessageOf(std::current_exception())));
    }
}

void TfPatchscribe::RethrowDeferred() {
    if (!deferred_) return;
    std::exception_ptr error = deferred_;
    deferred_ = nullptr;
    std::rethrow_exception(error);
}

void TfPatchscribe::OnGuiThread(std::function<void()> fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    Post(std::move(fn));
}

void TfPatchscribe::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> guard(queueMutex_);
        queue_.push_back(std::move(fn));
        if (drainPosted_) return;
        drainPosted_ = true;
    }
    QMetaObject::invokeMethod(
        this, [this] { RunQueued(); }, Qt::QueuedConnection);
}

void TfPatchscribe::RunQueued() {
    std::function<void()> fn;
    bool more = false;
    {
        std::lock_guard<std::mutex> guard(queueMutex_);
        if (queue_.empty()) {
            drainPosted_ = false;
            return;
        }
        fn = std::move(queue_.front());
        queue_.pop_front();
        more = !queue_.empty();
        drainPosted_ = more;
    }
    // The next request is posted before this one runs, so a request that
    // opens a message box does not hold up the ones behind it.
    if (more)
        QMetaObject::invokeMethod(
            this, [this] { RunQueued(); }, Qt::QueuedConnection);
    fn();
}

int32_t TfPatchscribe::OutDeviceIndex() const {
    return harvester_ ? harvester_->outDeviceIndex.load() : 0;
}

std::string TfPatchscribe::ModelListText() const {
    const int i = cbModel->currentIndex();
    if (i < 0 || i >= static_cast<int>(modelNames_.size())) return {};
    return modelNames_[static_cast<size_t>(i)];
}

// ---------------------------------------------------------------------------
// Start-up and shutdown

void TfPatchscribe::FormCreate() {
    // 1. The category list.
    model_.categoryNames.clear();

    // 2. The port lists, in device-number order (creates the device sets).
    TMidiInput& input = MidiInput();
    inNames_ = input.Devices.Names();
    for (const std::string& name : inNames_) lbMidiIn->addItem(ToQt(name));
    TMidiOutput& output = MidiOutput();
    outNames_ = output.Devices.Names();
    for (const std::string& name : outNames_) lbMidiOut->addItem(ToQt(name));

    // 3. The input handlers.
    bridge_->target.store(harvester_.get());
    std::shared_ptr<InputBridge> bridge = bridge_;
    input.OnMidiInput = [bridge](int32_t device, uint8_t status, uint8_t data1, uint8_t data2) {
        bridge->Call([&](THarvester& h) { h.HandleMidiInData(device, status, data1, data2); });
    };
    input.OnSysExData = [bridge](int32_t device, TMemoryStream& stream) {
        bridge->Call([&](THarvester& h) { h.HandleSysExData(device, stream); });
    };
    // Errors the MIDI layer meets on its callback thread go to the error box.
    SetMidiCallbackErrorSink([bridge](const std::string& message) {
        bridge->Call([&](THarvester&) { bridge->window->ReportError(message); });
    });

    // 4. `lock` lives in the harvester, which starts idle (not harvesting).

    // 5. The settings file.
    ini = std::make_unique<IniFile>(settingsPath_);

    // 6. Remembered options and the model table.
    LoadSettings(*ini, *this, lastSynthBank, *synths, synthCount);

    // 7. The first model of the list.
    if (cbModel->count() > 0) cbModel->SetSelectedSilently(0);

    // 8. The input port.
    const std::string inName = ini->ReadString("MidiDevices", "Input", "");
    inDeviceIndex = inName.empty() ? 0 : std::max(0, FindModelNameIgnoreCase(inNames_, inName));
    lbMidiIn->SetSelectedSilently(inDeviceIndex < lbMidiIn->count() ? inDeviceIndex : -1);
    lbMidiInClick();

    // 9. The output port.
    const std::string outName = ini->ReadString("MidiDevices", "Output", "");
    harvester_->outDeviceIndex =
        outName.empty() ? 0 : std::max(0, FindModelNameIgnoreCase(outNames_, outName));
    lbMidiOut->SetSelectedSilently(OutDeviceIndex() < lbMidiOut->count() ? OutDeviceIndex() : -1);
    lbMidiOutClick();

    // 10. The remembered model, applied.
    const int remembered = FindModelNameIgnoreCase(modelNames_, lastSynthBank);
    if (remembered >= 0) cbModel->SetSelectedSilently(remembered);
    cbModelCloseUp();
}

void TfPatchscribe::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    std::exception_ptr last;
    auto attempt = [&last](const std::function<void()>& step) {
        try {
            step();
        } catch (...) {
            last = std::current_exception();
        }
    };

    // A run in progress ends here: later steps send nothing.
    harvester_->EndForShutdown();
    TimeOut->stop();
    {
        std::lock_guard<std::mutex> guard(harvester_->lock);
        attempt([this] { MidiOutput().Close(OutDeviceIndex()); });
        attempt([this] { MidiInput().Close(inDeviceIndex); });
    }
    // No handler call reaches the harvester from now on.
    SetMidiCallbackErrorSink(nullptr);
    bridge_->Disconnect();

    if (ini) {
        attempt([this] {
            if (inDeviceIndex < 0 || inDeviceIndex >= static_cast<int32_t>(inNames_.size()))
                throw EListError(inDeviceIndex);
            ini->WriteString("MidiDevices", "Input", inNames_[static_cast<size_t>(inDeviceIndex)]);
        });
        attempt([this] {
            const int32_t out = OutDeviceIndex();
            if (out < 0 || out >= static_cast<int32_t>(outNames_.size())) throw EListError(out);
            ini->WriteString("MidiDevices", "Output", outNames_[static_cast<size_t>(out)]);
        });
    }
    harvester_.reset();
    ini.reset();
    model_.categoryNames.clear();
    // Nothing of the run may act any more, not even while the error box below
    // runs its own event loop.
    TimeOut->stop();
    disconnect(TimeOut, nullptr, this, nullptr);
    {
        std::lock_guard<std::mutex> guard(queueMutex_);
        queue_.clear();
    }
    if (last) PresentMessage(TMessageKind::Error, ToQt(MessageOf(last)));
}

// ---------------------------------------------------------------------------
// Ports and options

void TfPatchscribe::lbMidiInClick() {
    TMidiInput& input = MidiInput();
    input.Close(inDeviceIndex);
    inDeviceIndex = lbMidiIn->currentRow();
    input.Open(inDeviceIndex);
}

void TfPatchscribe::lbMidiOutClick() {
    TMidiOutput& output = MidiOutput();
    output.Close(OutDeviceIndex());
    harvester_->outDeviceIndex = lbMidiOut->currentRow();
    output.Open(OutDeviceIndex());
}

void TfPatchscribe::WriteOption(const char* key, bool checked) {
    if (ini) ini->WriteBool("LastSelected", key, checked);
}

void TfPatchscribe::cbCatClick() {
    WriteOption("CheckCategory", cbCat->isChecked());
}
void TfPatchscribe::cbIncludeNumberClick() {
    WriteOption("CheckNumber", cbIncludeNumber->isChecked());
}
void TfPatchscribe::cbSonarClick() {
    WriteOption("CheckSonar", cbSonar->isChecked());
}

// ---------------------------------------------------------------------------
// Models

void TfPatchscribe::cbModelCloseUp() {
    if (!ini) return;
    ApplyModel(ModelListText(), *synths, synthCount, *ini, OutDeviceIndex(), model_, *this);
}

void TfPatchscribe::cbModelChange() {
    const int found = FindModelNameIgnoreCase(modelNames_, ModelListText());
    if (found >= 0) {
        cbModel->SetSelectedSilently(found);
        cbModelCloseUp();
    }
    lastSynthBank = ModelListText();
    if (ini) ini->WriteString("LastSelected", "SynthBank", lastSynthBank);
}

// ---------------------------------------------------------------------------
// The run

void TfPatchscribe::btnSendSysExClick() {
    if (harvester_) harvester_->SendSysExClick();
}

void TfPatchscribe::TimeOutTimer() {
    if (harvester_) harvester_->TimeOutTimer();
}

// ---------------------------------------------------------------------------
// IHarvestFrontEnd

void TfPatchscribe::ClearList() {
    OnGuiThread([this] {
        NameList->clear();
        listHasLines_ = false;
    });
}

void TfPatchscribe::AppendLine(const std::string& line) {
    OnGuiThread([this, text = ToQt(line)] {
        if (listHasLines_ && NameList->document()->isEmpty()) {
            // The list holds one empty line, which Qt counts as no text.
            QTextCursor cursor(NameList->document());
            cursor.movePosition(QTextCursor::End);
            cursor.insertBlock();
            cursor.insertText(text);
        } else {
            NameList->appendPlainText(text);
        }
        listHasLines_ = true;
    });
}

void TfPatchscribe::SelectAllAndCopy() {
    OnGuiThread([this] {
        NameList->selectAll();
        QString text;
        if (listHasLines_ || !NameList->document()->isEmpty()) {
            for (const QString& line : NameList->toPlainText().split(QChar('\n')))
                text += line + QStringLiteral("\r\n");
        }
        QGuiApplication::clipboard()->setText(text);
    });
}

void TfPatchscribe::SetFullClipboardVisible(bool visible) {
    OnGuiThread([this, visible] { lFullClipboard->setVisible(visible); });
}

void TfPatchscribe::SetModelListVisible(bool visible) {
    OnGuiThread([this, visible] {
        cbModel->setVisible(visible);
        lSynthBank->setVisible(!cbModel->isHidden());
    });
}

void TfPatchscribe::SetButtonCaption(const std::string& caption) {
    OnGuiThread([this, text = ToQt(caption)] { btnSendSysEx->setText(text); });
}

void TfPatchscribe::StartTimeOut() {
    OnGuiThread([this] {
        if (!TimeOut->isActive()) TimeOut->start();
    });
}

void TfPatchscribe::StopTimeOut() {
    OnGuiThread([this] { TimeOut->stop(); });
}

void TfPatchscribe::ShowMessage(const std::string& text) {
    PresentMessage(TMessageKind::Notice, ToQt(text));
}

void TfPatchscribe::ReportError(const std::string& message) {
    // Always queued: the caller may be inside a step and must not wait.
    Post([text = ToQt(message)] { PresentMessage(TMessageKind::Error, text); });
}

std::string TfPatchscribe::ButtonCaption() {
    return btnSendSysEx->text().toStdString();
}

// ---------------------------------------------------------------------------
// ILoadSettingsView: ticking a box runs its option step, whose error ends the
// start-up like any other.

void TfPatchscribe::SetCheckCategory(bool checked) {
    ++deferErrors_;
    cbCat->setChecked(checked);
    --deferErrors_;
    RethrowDeferred();
}

void TfPatchscribe::SetCheckNumber(bool checked) {
    ++deferErrors_;
    cbIncludeNumber->setChecked(checked);
    --deferErrors_;
    RethrowDeferred();
}

void TfPatchscribe::SetCheckSonar(bool checked) {
    ++deferErrors_;
    cbSonar->setChecked(checked);
    --deferErrors_;
    RethrowDeferred();
}

void TfPatchscribe::AddModelName(const std::string& name) {
    // Equal names keep their reading order.
    const auto at = std::upper_bound(modelNames_.begin(), modelNames_.end(), name, ModelNameLess);
    const int position = static_cast<int>(at - modelNames_.begin());
    modelNames_.insert(at, name);
    cbModel->InsertSilently(position, ToQt(name));
}

// ---------------------------------------------------------------------------
// IModelView

void TfPatchscribe::SetCategoryBoxVisible(bool visible) {
    cbCat->setVisible(visible);
}

void TfPatchscribe::SetSynthTypeFontSize(int points) {
    if (points <= 0) return;  // Qt has no font of that size: keep the current one
    QFont f = lSynthType->font();
    f.setPointSize(points);
    lSynthType->setFont(f);
}

void TfPatchscribe::SetNotes(const std::string& text) {
    lNotes->setText(ToQt(text));
    lNotes->setVisible(!text.empty());
}

void TfPatchscribe::SetSynthTypeCaption(const std::string& caption) {
    lSynthType->setText(ToQt(caption));
}
