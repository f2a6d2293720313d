// The main window: ports, options, the model list and the harvest run.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/ModelApply.h"
#include "catalogue/Synth.h"
#include "harvest/Harvester.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class IniFile;
class TModelComboBox;
class TPortListBox;

// Shows a message box.  The window's default presenter opens a modal box;
// tests replace it to record the texts instead.
enum class TMessageKind { Error, Notice };
using TMessagePresenter =
    std::function<void(TMessageKind kind, const QString& caption, const QString& text)>;

class TfPatchscribe : public QWidget,
                      public IHarvestFrontEnd,
                      public ILoadSettingsView,
                      public IModelView {
    Q_OBJECT
public:
    // settingsPath: the settings file; empty means the one beside the
    // executable (SettingsPathFor(ExecutablePath())).
    explicit TfPatchscribe(std::string settingsPath = {}, QWidget* parent = nullptr);
    ~TfPatchscribe() override;

    // Replaces how every message box of the program is shown (null restores
    // the modal boxes).  Process-wide; set it before creating the window.
    static void SetMessagePresenter(TMessagePresenter presenter);
    // Shows a box through the current presenter ("Patchscribe" caption).
    static void PresentMessage(TMessageKind kind, const QString& text);

    // The create and destroy steps; FormDestroy runs once, from the destructor.
    void FormCreate();
    void FormDestroy();

    // Event handlers.
    void lbMidiInClick();
    void lbMidiOutClick();
    void cbCatClick();
    void cbIncludeNumberClick();
    void cbSonarClick();
    void cbModelChange();
    void cbModelCloseUp();
    void btnSendSysExClick();
    void TimeOutTimer();

    // State the tests look at.
    int32_t InDeviceIndex() const { return inDeviceIndex; }
    int32_t OutDeviceIndex() const;
    const TModelState& ModelState() const { return model_; }
    const std::string& LastSynthBank() const { return lastSynthBank; }
    const std::string& SettingsPath() const { return settingsPath_; }
    // The model list's text: its selected item, or empty.
    std::string ModelListText() const;

    // IHarvestFrontEnd
    void ClearList() override;
    void AppendLine(const std::string& line) override;
    void SelectAllAndCopy() override;
    void SetFullClipboardVisible(bool visible) override;
    void SetModelListVisible(bool visible) override;
    void SetButtonCaption(const std::string& caption) override;
    void StartTimeOut() override;
    void StopTimeOut() override;
    void ShowMessage(const std::string& text) override;
    void ReportError(const std::string& message) override;
    bool SonarOption() override { return sonarOn_.load(); }
    bool NumberOption() override { return numberOn_.load(); }
    bool CategoryOption() override { return categoryOn_.load(); }
    std::string ButtonCaption() override;

    // ILoadSettingsView
    void SetCheckCategory(bool checked) override;
    void SetCheckNumber(bool checked) override;
    void SetCheckSonar(bool checked) override;
    void AddModelName(const std::string& name) override;

    // IModelView
    void SetCategoryBoxVisible(bool visible) override;
    void SetSynthTypeFontSize(int points) override;
    void SetNotes(const std::string& text) override;
    void SetSynthTypeCaption(const std::string& caption) override;

private:
    struct InputBridge;

    void BuildControls();
    // Runs a handler the way the GUI framework runs an event handler: an
    // exception that escapes it is shown in the error box.  While the program
    // itself runs a handler (a check box ticked during start-up), the error is
    // kept and rethrown to the program by RethrowDeferred().
    void RunHandler(const std::function<void()>& handler);
    void RethrowDeferred();
    // Runs fn on the GUI thread: at once when called there, otherwise queued
    // behind every earlier request (never waits).
    void OnGuiThread(std::function<void()> fn);
    // Queues fn for the GUI thread, in order; runs the queue one by one.
    void Post(std::function<void()> fn);
    void RunQueued();
    void WriteOption(const char* key, bool checked);

    // Controls.
    QTabWidget* pcMain = nullptr;
    QWidget* tsMidiInOut = nullptr;
    QWidget* tsGetName = nullptr;
    QLabel* Label1 = nullptr;
    TPortListBox* lbMidiIn = nullptr;
    QLabel* Label2 = nullptr;
    TPortListBox* lbMidiOut = nullptr;
    QLabel* lSynthType = nullptr;
    QLabel* Label3 = nullptr;
    QCheckBox* cbSonar = nullptr;
    QCheckBox* cbIncludeNumber = nullptr;
    QCheckBox* cbCat = nullptr;
    QLabel* lFullClipboard = nullptr;
    QLabel* lSynthBank = nullptr;
    TModelComboBox* cbModel = nullptr;
    QLabel* lNotes = nullptr;
    QPushButton* btnSendSysEx = nullptr;
    QPlainTextEdit* NameList = nullptr;
    QTimer* TimeOut = nullptr;

    // State.
    std::string settingsPath_;
    std::unique_ptr<TSynthTable> synths;
    int32_t synthCount = 0;
    TModelState model_;  // current, currentIndex, channelIndex, categoryNames
    std::string lastSynthBank;
    int32_t inDeviceIndex = 0;
    std::unique_ptr<IniFile> ini;
    std::unique_ptr<THarvester> harvester_;  // the run, its flags and `lock`
    std::shared_ptr<InputBridge> bridge_;

    std::vector<std::string> modelNames_;  // cbModel's items, as read
    std::vector<std::string> inNames_;     // lbMidiIn's entries
    std::vector<std::string> outNames_;    // lbMidiOut's entries
    bool listHasLines_ = false;            // NameList holds lines (an empty one too)

    // The options as the callback thread reads them.
    std::atomic<bool> sonarOn_{true};
    std::atomic<bool> numberOn_{true};
    std::atomic<bool> categoryOn_{true};

    // Requests from other threads, waiting for the GUI thread.
    std::mutex queueMutex_;
    std::deque<std::function<void()>> queue_;
    bool drainPosted_ = false;

    int deferErrors_ = 0;
    std::exception_ptr deferred_;
    bool destroyed_ = false;
};

extern TfPatchscribe* fPatchscribe;
