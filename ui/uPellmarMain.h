#pragma once

#include "scan/Parser.h"
#include "scan/ScanSession.h"
#include "ui_uPellmarMain.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTreeWidgetItem;
class TFramePreview;
class TMessageBoxes;
class TSaveSequence;
class TfrmAbout;
struct TPreviewFrame;

// The main window: opens a video file of any supported format (read from its content), lists its
// aspect-ratio records with what the container states, shows a picture of it at the aspect ratio players
// show now and after the change, composes a new aspect ratio for the selected rows and saves it into the
// file in place. Its controls are laid out in uPellmarMain.ui.
//
// Every command runs on the window's thread. A scan processes pending input only from its progress
// report, and while it runs only "Abort" acts: the other commands are disabled, drops are refused and
// closing the window aborts the scan and closes once it has returned. The preview's picture is decoded on
// a thread of its own.
class TForm21 : public QMainWindow, public Ui::TForm21 {
    Q_OBJECT
public:
    explicit TForm21(TMessageBoxes &messages, QWidget *parent = nullptr);
    ~TForm21() override;

    // The separator of the File menu.
    QAction *N1 = nullptr;
    TfrmAbout *frmAbout = nullptr;

    // The record a list row stands for.
    static TARInfo *RowRecord(const QTreeWidgetItem &row);

    // Opens the file named by the first argument after the program's name once the event loop runs, as
    // a file manager starts the program for a file; a file that is not there is reported.
    void OpenAtStart(const QStringList &arguments);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    friend class TMainWindowTest;
    class TScanScope;

    void FormCreate();
    void FormDestroy();
    // What the form definition can not say: validators, column widths, the scan mode's item numbers.
    void SetUpControls();
    void ConnectCommands();

    // Runs one command. An error that ends it goes to the error box here, the one place where errors
    // are shown; no exception reaches the event loop.
    template <typename TCommand> void Guarded(TCommand command);
    // A slot that runs the handler through Guarded.
    template <typename... TArgs> auto Guard(void (TForm21::*handler)(TArgs...));

    // Main window, list and progress
    void actOpenAviFileExecute();
    void actOpenh264StreamExecute();
    void btnCancelClick();
    void lvARListCustomDrawItem(QTreeWidgetItem &row, const TARInfo &record);
    QString lvARListInfoTip(const TARInfo &record) const;
    void lvARListDblClick();
    void Exit1Click();
    void LoadFile(const QString &path);
    void ShowNotices();
    void UpdateView();
    void FillARList();
    void FitColumns();
    void AddARListItem(size_t index, TARInfo &record);
    // What the container of the record's track states, and what the planned save makes it state.
    QString ContainerText(const TARInfo &record) const;
    // The plan of a save as the list shows it: the tracks whose statements it writes, and its lines.
    void ShowSavePlan();
    void ParserProgress(int64_t position, int64_t size);
    bool ParserForeignHandler(const std::string &fourCC);
    void SetScanning(bool scanning);

    // New aspect ratio panel and saving
    void cbSARSelect(int index);
    void rbSARClick();
    void rbDARClick();
    void edtSARxChange(const QString &text);
    void edtSARyChange(const QString &text);
    void edtDARxChange(const QString &text);
    void edtDARyChange(const QString &text);
    void FieldChanged(const QString &text, int32_t &value, void (TForm21::*convert)());
    void btnSetClick();
    TRatioChange PanelChange() const;
    void btnResetClick();
    void btnSelectAllClick();
    void actSaveExecute();
    // False, after showing the refused rows and their reasons, when the file would refuse a change.
    bool ChangesWritable(const TSaveSequence &save);
    // Every save keeps a journal first: an interrupted one is offered to be rolled back when its file is
    // opened, and the last completed one can be undone.
    void OfferRecovery();
    void UndoLastSaveClick();
    void UpdateUndo();
    void LoadARInfo(int index);
    void ShowFormat();
    void FillCodeList(const TCodec *codec);
    void UpdateNewARPanel();
    void CalcDAR();
    void CalcSAR();

    // The preview
    void PreviewDecoded(const TPreviewFrame &frame);
    // The record the preview's aspect ratios come from: the first selected row, else the first changed
    // one, else the first.
    const TARInfo *PreviewRecord();
    void UpdatePreview();

    // Start-up, drop and About box
    void DropFiles(const QStringList &files);
    void actAboutExecute();

    TMessageBoxes &FMessages;
    // What the scan of the open file found; a new one for every scan.
    std::unique_ptr<TScanSession> FSession;
    TParser *FParser = nullptr; // the scanner while a scan runs

    TFramePreview *FPreview = nullptr;
    // The display aspect ratio the decoder reports for the preview's picture; 0:0 when it reports none.
    TRatio FPreviewDar;
    // The tracks whose container statements the planned save writes (filled by ShowSavePlan).
    std::vector<const TTrack *> FPlannedTracks;

    QActionGroup *FScanLockedActions = nullptr; // disabled while a scan runs
    bool FScanning = false;
    bool FCloseRequested = false;

    QString CurrentFile;
    int64_t ScannedFileSize = 0;

    // The codec whose codes the list holds.
    const TCodec *FCodeListCodec = nullptr;
    uint8_t ARIdc = 0;
    int32_t SARx = 0;
    int32_t SARy = 0;
    int32_t DARx = 0;
    int32_t DARy = 0;
    int32_t ResWidth = 0;
    int32_t ResHeight = 0;
};
