#pragma once

#include "scan/Parser.h"
#include "scan/ScanSession.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;
class TMessageBoxes;
class TfrmAbout;

// The main window: opens an AVI file or a raw H.264 stream, lists its aspect-ratio records, composes a
// new aspect ratio for the selected rows and saves it into the file in place.
//
// Every command runs on the window's thread. A scan processes pending input only from its progress
// report, and while it runs only "Abort" acts: the other commands are disabled, drops are refused and
// closing the window aborts the scan and closes once it has returned.
class TForm21 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm21(TMessageBoxes &messages, QWidget *parent = nullptr);
    ~TForm21() override;

    // Controls, named as in the form definition.
    QLabel *Label1;
    QLineEdit *edtPath;
    QPushButton *btn_LoadRIFF;
    QPushButton *btnLoadStream;
    QLabel *Label4;
    QLineEdit *edtNalUnitsCount;
    QGroupBox *rgScanMode;
    QButtonGroup *rgScanModeItems; // item 0 "Deep Scan (Recommended)", item 1 "Only first NAL Unit ..."
    QLabel *Label2;
    QTreeWidget *lvARList;
    QGroupBox *grpNewAR;
    QRadioButton *rbSAR;
    QComboBox *cbSAR;
    QLabel *StaticText3;
    QLineEdit *edtSARx;
    QLabel *StaticText2;
    QLineEdit *edtSARy;
    QRadioButton *rbDAR;
    QLineEdit *edtDARx;
    QLabel *StaticText1;
    QLineEdit *edtDARy;
    QLineEdit *edtResolution;
    QPushButton *btnSet;
    QPushButton *btnSelectAll;
    QPushButton *btnReset;
    QPushButton *btnSave;
    QProgressBar *ProgressBar1;
    QLineEdit *edtProgress;
    QPushButton *btnCancel;
    QLabel *Label3;

    // Actions and the menu items bound to them.
    QAction *actOpenAviFile;
    QAction *actOpenh264Stream;
    QAction *actSave;
    QAction *actAbout;
    QMenu *File1;
    QAction *OpenAvi1;
    QAction *OpenelementaryStream1;
    QAction *SaveChanges1;
    QAction *N1;
    QAction *Exit1;
    QAction *About1;

    TfrmAbout *frmAbout;

    // The record a list row stands for.
    static TARInfo *RowRecord(const QTreeWidgetItem &row);

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
    void CreateControls();
    void CreateMenu();

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
    bool ChangesWritable(const TPatchPlan &plan);
    // What a save does to the container's statements, and leaves as it is.
    static std::vector<std::string> ContainerLines(const TPatchPlan &plan);
    void LoadARInfo(int index);
    void UpdateNewARPanel();
    void CalcDAR();
    void CalcSAR();

    // Start-up, drop and About box
    void DropFiles(const QStringList &files);
    void actAboutExecute();

    TMessageBoxes &FMessages;
    // What the scan of the open file found; a new one for every scan.
    std::unique_ptr<TScanSession> FSession;
    TParser *FParser = nullptr; // the scanner while a scan runs

    QActionGroup *FScanLockedActions; // disabled while a scan runs
    bool FScanning = false;
    bool FCloseRequested = false;

    QString CurrentFile;
    int64_t ScannedFileSize = 0;

    uint8_t ARIdc = 0;
    int32_t SARx = 0;
    int32_t SARy = 0;
    int32_t DARx = 0;
    int32_t DARy = 0;
    int32_t ResWidth = 0;
    int32_t ResHeight = 0;
};
