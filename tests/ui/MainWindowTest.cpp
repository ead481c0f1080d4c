// The main window on the offscreen platform: opening real files made by ffmpeg/libx264, the list and its
// columns, progress, abort and close during a scan, errors, drag and drop, the dialogs and the caption.

#include "BitWriter.h"
#include "FramePreview.h"
#include "PreviewWidget.h"
#include "TestFiles.h"
#include "UiTestSupport.h"
#include "base/ShownTexts.h"
#include "uAbout.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>

namespace {

// Offsets of the SPS payloads in a file, found by looking for start codes followed by an SPS header.
std::vector<int64_t> SpsPayloadOffsets(const std::vector<uint8_t> &bytes) {
    std::vector<int64_t> offsets;
    for (size_t i = 0; i + 3 < bytes.size(); ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && (bytes[i + 3] & 0x1F) == 7)
            offsets.push_back(static_cast<int64_t>(i) + 4);
    return offsets;
}

// The hexadecimal text of an offset in a list of a file of that size: two digits per byte of the size.
QString ExpectedHex(int64_t offset, int64_t fileSize) {
    int digits = 2 * static_cast<int>(std::ceil(std::log2(static_cast<double>(fileSize)) / 8));
    return QString::number(offset, 16).toUpper().rightJustified(digits, '0');
}

// Runs a check from inside the next modal dialog and closes it with the given button.
void WhenModalShown(const std::function<void(QMessageBox &)> &check, QMessageBox::StandardButton answer) {
    QTimer::singleShot(0, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box == nullptr)
            qFatal("no message box is shown");
        check(*box);
        box->button(answer)->click();
    });
}

} // namespace

class TMainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> FFolder;
    std::string FAvi;        // 720x576, SAR 12:11, an SPS before every second frame
    std::string FStream;     // raw stream, 720x576, SAR 64:45
    std::string FLong;       // raw stream with many SPS, for aborting
    std::string FAudAvi;     // every chunk begins with an access unit delimiter
    std::string FForeignAvi; // H.264 under a handler code no codec is known by
    std::string FPalStream;  // one hand-made SPS: PAL, overscan appropriate

    void ParserProgress(TForm21 &window, int64_t position, int64_t size) {
        window.ParserProgress(position, size);
    }

private slots:
    void initTestCase();
    void captionControlsAndStartState();
    void openAviListsEveryColumn();
    void openStreamListsEveryColumn();
    void toolTipShowsVideoFormatAndOverscan();
    void progressTextAndBarChangeOnlyWithThePercentage();
    void abortDuringScanKeepsRowsFoundSoFar();
    void closingDuringScanAbortsAndClosesAfterwards();
    void truncatedAviIsReadAsFarAsItGoes();
    void errorBoxAppendsFullStop();
    void foreignHandlerQuestion();
    void dropOfOneFileChoosesScannerByContent();
    void dropOfTwoFilesOpensNothing();
    void realMessageBoxes();
    void aboutBox();
    void keyboardShortcuts();
    void keyboardReachesEveryControlInOrder();
    void escapeAbortsScan();
    void listAndPreviewGrowWithWindow();
    void commandLineFileOpensAtStartUp();
};

void TMainWindowTest::initTestCase() {
    QVERIFY2(HaveMediaTools(), "ffmpeg, ffprobe and libx264 are needed");
    FFolder = std::make_unique<TempDir>();
    FAvi = FFolder->File("pal.avi");
    VideoSpec avi = Video(720, 576, 8, "12/11");
    avi.repeatHeaders = true;
    avi.keyint = 2;
    MakeAvi(FAvi, {avi});
    FStream = FFolder->File("wide.h264");
    MakeRawH264(FStream, Video(720, 576, 4, "64/45"));
    FLong = FFolder->File("long.h264");
    VideoSpec longStream = Video(64, 64, 400, "1/1");
    longStream.repeatHeaders = true;
    longStream.keyint = 4;
    MakeRawH264(FLong, longStream);
    FAudAvi = FFolder->File("aud.avi");
    VideoSpec aud = Video(176, 144, 6, "1/1");
    aud.repeatHeaders = true;
    aud.accessUnitDelimiters = true;
    aud.keyint = 2;
    MakeAvi(FAudAvi, {aud});
    // H.264 under a handler code of another codec: ffmpeg keeps such a tag out of its AVI files, so the
    // stream header's handler is overwritten.
    FForeignAvi = FFolder->File("foreign.avi");
    MakeAvi(FForeignAvi, {Video(176, 144, 2, "1/1")});
    std::vector<uint8_t> xvid = Bytes(FForeignAvi);
    const std::string header = "strh";
    auto strh = std::search(xvid.begin(), xvid.end(), header.begin(), header.end());
    QVERIFY(strh != xvid.end() && std::string(strh + 8, strh + 12) == "vids");
    std::copy_n("QX01", 4, strh + 12);
    WriteFile(FForeignAvi, xvid);

    SpsFields pal;
    pal.vui = true;
    pal.aspect_ratio_idc = 2;
    pal.overscan_info_present_flag = 1;
    pal.overscan_appropriate_flag = 1;
    pal.video_signal_type_present_flag = 1;
    pal.video_format = 1;
    FPalStream = FFolder->File("pal-hand-made.h264");
    WriteFile(FPalStream, WithStartCode(BuildSps(pal).nal));
}

void TMainWindowTest::captionControlsAndStartState() {
    TWindowUnderTest window;
    QCOMPARE(window->windowTitle(), QStringLiteral("Pellmar 0.1.1.0"));
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Ready."));
    QCOMPARE(window->ProgressBar1->value(), 0);
    QCOMPARE(window->ProgressBar1->maximum(), 100);
    QVERIFY(!window->btnCancel->isEnabled());
    QVERIFY(window->actSave->isEnabled());
    QVERIFY(window->rgScanMode->isEnabled());

    QStringList headers;
    for (int column = 0; column < window->lvARList->columnCount(); ++column)
        headers << window->lvARList->headerItem()->text(column);
    QCOMPARE(headers, QStringList({"#", "SAR", "Type", "Resolution", "DAR", "SPS Id", "SPS Offset",
                                   "VUI Offset", "Container DAR"}));
    QCOMPARE(window->lvARList->selectionMode(), QAbstractItemView::ExtendedSelection);

    QCOMPARE(window->File1->title(), QStringLiteral("File"));
    QStringList fileMenu;
    for (QAction *item : window->File1->actions())
        fileMenu << (item->isSeparator() ? QStringLiteral("-") : item->text());
    QCOMPARE(fileMenu, QStringList({"Open Avi File", "Open h264 Stream", "Save Changes", "Undo Last Save", "-", "Exit"}));
    QCOMPARE(window->About1->text(), QStringLiteral("About"));
    QCOMPARE(window->actOpenAviFile->text(), QStringLiteral("Open File"));
    QCOMPARE(window->btn_LoadRIFF->text(), QStringLiteral("Avi..."));
    QCOMPARE(window->btnLoadStream->text(), QStringLiteral("Stream..."));
    QCOMPARE(window->btnSave->text(), QStringLiteral("Save Changes"));
    QCOMPARE(window->rgScanMode->title(), QStringLiteral("Avi Scan Mode"));
    QCOMPARE(window->rgScanModeItems->button(0)->text(), QStringLiteral("Deep Scan (Recommended)"));
    QCOMPARE(window->rgScanModeItems->button(1)->text(), QStringLiteral("Only first NAL Unit of each Chunk"));
    QCOMPARE(window->rgScanModeItems->checkedId(), 0);
    QCOMPARE(window->Label1->text(), QStringLiteral("File:"));
    QCOMPARE(window->Label2->text(), QStringLiteral("Aspect Ratio Information found in the file:"));
    QCOMPARE(
        window->Label3->text(),
        QStringLiteral("This Software is a beta Version. It might contain bugs. USE AT YOUR OWN RISK! "));
    QCOMPARE(window->Label4->text(), QStringLiteral("Sequence Parameter Sets (SPS) found:"));
    QCOMPARE(window->btnCancel->text(), QStringLiteral("Abort"));
    QCOMPARE(window->btnSelectAll->text(), QStringLiteral("Select all"));
    QCOMPARE(window->btnReset->text(), QStringLiteral("Reset all"));
    QCOMPARE(window->grpNewAR->title(), QStringLiteral("New Aspect Ratio"));
    QCOMPARE(window->btnSet->text(), QStringLiteral("Set new Aspect Ratio"));
    QCOMPARE(window->rbSAR->text(), QStringLiteral("Sample Aspect Ratio (SAR)"));
    QCOMPARE(window->rbDAR->text(), QStringLiteral("Display Aspect Ratio (DAR)"));
    QCOMPARE(window->StaticText3->text(), QStringLiteral("Custom:"));

    // The preset list: codes 1 to 16 and 255, each with its code as value.
    QCOMPARE(window->cbSAR->count(), 17);
    const QStringList presets{"1:1",
                              "12:11  (  4:3 PAL   MPEG-4)",
                              "10:11  (  4:3 NTSC MPEG-4)",
                              "16:11  (16:9 PAL   MPEG-4)",
                              "40:33  (16:9 NTSC MPEG-4)",
                              "24:11",
                              "20:11",
                              "32:11",
                              "80:33",
                              "18:11",
                              "15:11",
                              "64:33",
                              "160:99",
                              "4:3",
                              "3:2",
                              "2:1",
                              "Custom"};
    for (int i = 0; i < 17; ++i) {
        QCOMPARE(window->cbSAR->itemText(i), presets[i]);
        QCOMPARE(window->cbSAR->itemData(i).toInt(), i < 16 ? i + 1 : 255);
    }
    // The panel before any file: no selection, empty disabled fields, "Set" disabled.
    QCOMPARE(window->cbSAR->currentIndex(), -1);
    QVERIFY(window->cbSAR->isEnabled());
    for (QLineEdit *field : {window->edtSARx, window->edtSARy, window->edtDARx, window->edtDARy}) {
        QVERIFY(field->text().isEmpty());
        QVERIFY(!field->isEnabled());
    }
    QVERIFY(!window->btnSet->isEnabled());
    QCOMPARE(window->edtResolution->text(), QStringLiteral("[at Resolution: n/a]"));
    QVERIFY(window->minimumWidth() >= 550 && window->minimumHeight() >= 520);
}

void TMainWindowTest::openAviListsEveryColumn() {
    TWindowUnderTest window;
    window.OpenAvi(FAvi);
    QCOMPARE(window.Dialogs.Filters, QStringList({"avi files (*.avi);;all files (*)"}));
    QVERIFY(window.Dialogs.Errors.isEmpty());

    const std::vector<TracedSps> traced = TraceSps(FAvi);
    const std::vector<uint8_t> bytes = Bytes(FAvi);
    const std::vector<int64_t> offsets = SpsPayloadOffsets(bytes);
    const auto size = static_cast<int64_t>(bytes.size());
    QCOMPARE(traced.size(), size_t{4});
    QCOMPARE(offsets.size(), traced.size());
    QCOMPARE(window->edtNalUnitsCount->text(), QString::number(traced.size()));
    QCOMPARE(window->edtPath->text(), QString::fromStdString(FAvi));
    QCOMPARE(RowCount(*window), 4);
    QCOMPARE(SelectedRowCount(*window), 4);
    for (int i = 0; i < RowCount(*window); ++i) {
        QTreeWidgetItem &row = Row(*window, i);
        const TARInfo &record = *TForm21::RowRecord(row);
        const QString vui = ExpectedHex(record.VuiOffset(), size);
        // The AVI's video properties state the same display aspect ratio as the SPS.
        QCOMPARE(RowTexts(row), QStringList({QString::number(i), "12:11", "Predefined", "720x576", "15:11",
                                             "0", ExpectedHex(offsets[i], size), vui, "15:11"}));
        QVERIFY(record.VuiOffset() > offsets[i]);
        QVERIFY(DrawnNormally(row));
    }
    // Row 0 is in the panel, the AVI scan was a deep scan, saving is possible.
    QCOMPARE(window->cbSAR->currentText(), QStringLiteral("12:11  (  4:3 PAL   MPEG-4)"));
    QCOMPARE(window->edtSARx->text(), QStringLiteral("12"));
    QCOMPARE(window->edtSARy->text(), QStringLiteral("11"));
    QCOMPARE(window->edtDARx->text(), QStringLiteral("15"));
    QCOMPARE(window->edtDARy->text(), QStringLiteral("11"));
    QCOMPARE(window->edtResolution->text(), QStringLiteral("[at Resolution: 720x576]"));
    QVERIFY(window->btnSet->isEnabled());
    QVERIFY(window->actSave->isEnabled());
    QVERIFY(window->SaveChanges1->isEnabled());
    QVERIFY(!window->btnCancel->isEnabled());
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Ready."));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TMainWindowTest::openStreamListsEveryColumn() {
    TWindowUnderTest window;
    window.OpenStream(FStream);
    QCOMPARE(
        window.Dialogs.Filters,
        QStringList(
            {"Video files (*.h264 *.264 *.avc *.hevc *.265 *.h265 *.m2v *.m1v *.mpv *.cmp *.mp4 *.m4v *.mov "
             "*.3gp *.mkv *.webm *.ts *.m2ts *.mts *.mpg *.mpeg *.vob *.mod *.tod);;All files (*)"}));
    const std::vector<uint8_t> bytes = Bytes(FStream);
    const std::vector<int64_t> offsets = SpsPayloadOffsets(bytes);
    QCOMPARE(offsets.size(), size_t{1});
    QCOMPARE(TraceSps(FStream).size(), size_t{1});
    QCOMPARE(window->edtNalUnitsCount->text(), QStringLiteral("1"));
    QCOMPARE(RowCount(*window), 1);
    QCOMPARE(SelectedRowCount(*window), 1);
    QTreeWidgetItem &row = Row(*window, 0);
    const auto size = static_cast<int64_t>(bytes.size());
    const int64_t vui = TForm21::RowRecord(row)->VuiOffset();
    // A raw stream has no container to state anything.
    QCOMPARE(RowTexts(row), QStringList({"0", "64:45", "Custom", "720x576", "16:9", "0",
                                         ExpectedHex(offsets[0], size), ExpectedHex(vui, size), "none"}));
    QCOMPARE(window->cbSAR->currentText(), QStringLiteral("Custom"));
    QVERIFY(window->edtSARx->isEnabled() && !window->edtSARx->isReadOnly());

    // A file of no more than 256 bytes gets two digits.
    window.OpenStream(FPalStream);
    QVERIFY(Bytes(FPalStream).size() <= 256);
    QCOMPARE(Row(*window, 0).text(6), QStringLiteral("05"));
}

void TMainWindowTest::toolTipShowsVideoFormatAndOverscan() {
    TWindowUnderTest window;
    window.OpenStream(FPalStream);
    QCOMPARE(RowCount(*window), 1);
    for (int column = 0; column < 8; ++column)
        QCOMPARE(Row(*window, 0).toolTip(column),
                 QStringLiteral("Video Format: PAL\n\rOverscan appropriate"));
    // libx264 writes neither a video format nor overscan information by default.
    window.OpenStream(FStream);
    QCOMPARE(Row(*window, 0).toolTip(3),
             QStringLiteral("Video Format: Unspecified\n\rOverscan information not present"));
    // An AVI written by ffmpeg states the display aspect ratio in its container too (12:11 at 720x576).
    window.OpenAvi(FAvi);
    QCOMPARE(Row(*window, 0).toolTip(0),
             QStringLiteral("Video Format: Unspecified\n\rOverscan information not "
                            "present\n\rContainer aspect ratio: 15:11"));
}

void TMainWindowTest::progressTextAndBarChangeOnlyWithThePercentage() {
    TWindowUnderTest window;
    ParserProgress(*window, 1, 8);
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Scanning 12.5%"));
    QCOMPARE(window->ProgressBar1->value(), 12); // ties go to the even neighbour
    ParserProgress(*window, 3, 8);
    QCOMPARE(window->ProgressBar1->value(), 38);

    // Input is processed only when the text changes.
    int processed = 0;
    QTimer::singleShot(0, [&] { ++processed; });
    ParserProgress(*window, 3, 8);
    QCOMPARE(processed, 0);
    ParserProgress(*window, 301, 800); // 37.625 % shows as 37.6 %
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Scanning 37.6%"));
    QCOMPARE(processed, 1);

    // The decimal separator is the user's.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ParserProgress(*window, 1, 8);
    QLocale::setDefault(QLocale::c());
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Scanning 12,5%"));

    ParserProgress(*window, 0, 100);
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Ready."));
    QCOMPARE(window->ProgressBar1->value(), 0);
}

void TMainWindowTest::abortDuringScanKeepsRowsFoundSoFar() {
    const size_t total = TraceSps(FLong).size();
    QVERIFY(total >= 50);
    TWindowUnderTest window;
    window.OpenStream(FAvi); // something listed before, to see that nothing of it stays
    window.Dialogs.Filters.clear();

    int rowsAtAbort = -1;
    bool droppedDuringScan = true;
    QTimer watcher;
    watcher.setInterval(0);
    connect(&watcher, &QTimer::timeout, [&] {
        if (RowCount(*window) < 3)
            return;
        watcher.stop();
        // Only "Abort" acts while the scan runs.
        QVERIFY(window->btnCancel->isEnabled());
        QVERIFY(!window->actOpenAviFile->isEnabled() && !window->actOpenh264Stream->isEnabled());
        QVERIFY(!window->actSave->isEnabled() && !window->btnLoadStream->isEnabled());
        QVERIFY(!window->btnSet->isEnabled() && !window->btnReset->isEnabled() &&
                !window->btnSelectAll->isEnabled());
        QVERIFY(!window->rgScanMode->isEnabled());
        QVERIFY(!window->cbSAR->isEnabled());
        QVERIFY(QApplication::overrideCursor() != nullptr);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        droppedDuringScan = DropOnto(*window, {QString::fromStdString(FAvi)});
        window->actOpenAviFile->trigger();
        window->btnSelectAll->click();
        rowsAtAbort = RowCount(*window);
        QTest::mouseClick(window->btnCancel, Qt::LeftButton);
    });
    watcher.start();
    window.OpenStream(FLong);

    QVERIFY(rowsAtAbort >= 3);
    QVERIFY(!droppedDuringScan);
    QVERIFY(window.Dialogs.Filters.size() == 1); // the open dialog only for the scan itself
    // The scan stops before its next search for a start code: at most the NAL unit it was at when the
    // click came in is still added.
    const int rows = RowCount(*window);
    QVERIFY2(rows == rowsAtAbort || rows == rowsAtAbort + 1, qPrintable(QString::number(rows)));
    QVERIFY(static_cast<size_t>(rows) < total);
    QCOMPARE(window->edtNalUnitsCount->text(), QString::number(rows));
    QCOMPARE(SelectedRowCount(*window), rows);
    QCOMPARE(window->edtSARx->text(), QStringLiteral("1"));
    QCOMPARE(window->edtResolution->text(), QStringLiteral("[at Resolution: 64x64]"));
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Ready."));
    QVERIFY(!window->btnCancel->isEnabled());
    QVERIFY(window->actOpenAviFile->isEnabled() && window->btnLoadStream->isEnabled() &&
            window->actSave->isEnabled());
    QVERIFY(window->btnReset->isEnabled() && window->rgScanMode->isEnabled() && window->btnSet->isEnabled());
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(window.Dialogs.Errors.isEmpty());

    // The next scan runs to the end: the abort request does not outlive its scan.
    window.OpenStream(FLong);
    QCOMPARE(static_cast<size_t>(RowCount(*window)), total);
}

void TMainWindowTest::closingDuringScanAbortsAndClosesAfterwards() {
    TWindowUnderTest window;
    bool closedDuringScan = true;
    QTimer::singleShot(0, [&] { closedDuringScan = window->close(); });
    window.OpenStream(FLong);
    QVERIFY(!closedDuringScan);
    QVERIFY(static_cast<size_t>(RowCount(*window)) < TraceSps(FLong).size()); // the close aborted it
    QVERIFY(window->isVisible());
    QTRY_VERIFY(!window->isVisible());
}

// A file cut short, as a recording stopped mid-write leaves it, is read as far as it goes: the rows before
// the cut are listed, and a message says where the file ends.
void TMainWindowTest::truncatedAviIsReadAsFarAsItGoes() {
    std::vector<uint8_t> bytes = Bytes(FAvi);
    const std::vector<int64_t> offsets = SpsPayloadOffsets(bytes);
    // Cut inside the data after the third SPS.
    bytes.resize(static_cast<size_t>(offsets[2] + 40));
    const std::string truncated = FFolder->File("truncated.avi");
    WriteFile(truncated, bytes);

    TWindowUnderTest window;
    window.OpenAvi(truncated);
    QVERIFY(window.Dialogs.Errors.isEmpty());
    QCOMPARE(window.Dialogs.Messages,
             QStringList({"The file ends inside the chunk at 0: it was read as far as the file goes."}));
    QCOMPARE(RowCount(*window), 3);
    QCOMPARE(Row(*window, 2).text(1), QStringLiteral("12:11"));
    QCOMPARE(window->edtNalUnitsCount->text(), QStringLiteral("3"));
    QCOMPARE(window->edtPath->text(), QString::fromStdString(truncated));
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Ready."));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(!window->btnCancel->isEnabled());
    QVERIFY(window->rgScanMode->isEnabled() && window->actOpenAviFile->isEnabled());

    // A file no scanner reads ends in the error box; a missing file does nothing.
    window.OpenStream(FFolder->File("truncated.avi") + ".missing");
    QCOMPARE(window.Dialogs.Errors.size(), 0);
    const std::string flv = FFolder->File("clip.flv");
    const std::string mp4 = FFolder->File("clip.mp4");
    RunCommand("ffmpeg -v error -y -i " + ShellQuote(FStream) + " -c copy " + ShellQuote(mp4));
    RunCommand("ffmpeg -v error -y -i " + ShellQuote(mp4) + " -c copy -f flv " + ShellQuote(flv));
    window.OpenStream(flv);
    QCOMPARE(window.Dialogs.Errors.size(), 1);
    QVERIFY2(window.Dialogs.Errors[0].contains("FLV"), qPrintable(window.Dialogs.Errors[0]));
    QCOMPARE(RowCount(*window), 0);
    QVERIFY(!window->actSave->isEnabled());
    QVERIFY(window->rgScanMode->isEnabled());
}

void TMainWindowTest::errorBoxAppendsFullStop() {
    QCOMPARE(ErrorMessageText("Stream read error"), std::string("Stream read error."));
    QCOMPARE(ErrorMessageText("File is not a valid RIFF file. Abort Scan."),
             std::string("File is not a valid RIFF file. Abort Scan."));
    QCOMPARE(ErrorMessageText("Done!"), std::string("Done!"));
    QCOMPARE(ErrorMessageText("(see above)"), std::string("(see above)")); // ')' sorts before '.'
    QCOMPARE(ErrorMessageText("Position: 0000ABCD"), std::string("Position: 0000ABCD."));
    QCOMPARE(ErrorMessageText("size 0"), std::string("size 0."));
    QCOMPARE(ErrorMessageText(""), std::string(""));
}

void TMainWindowTest::foreignHandlerQuestion() {
    TWindowUnderTest window;
    window.Dialogs.HandlerAnswer = false;
    window.OpenAvi(FForeignAvi);
    QCOMPARE(
        window.Dialogs.HandlerQuestions,
        QStringList({"WARNING: Found FourCC \"QX01\". The video seems not to be a H.264 coded stream. Scan "
                     "stream anyway?"}));
    QCOMPARE(RowCount(*window), 0);
    QVERIFY(window.Dialogs.Errors.isEmpty());
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Ready."));

    window.Dialogs.HandlerAnswer = true;
    window.OpenAvi(FForeignAvi);
    QCOMPARE(window.Dialogs.HandlerQuestions.size(), 2);
    QCOMPARE(RowCount(*window), 1);
}

void TMainWindowTest::dropOfOneFileChoosesScannerByContent() {
    TWindowUnderTest window;
    // Every video chunk begins with an access unit delimiter: scanning only the first NAL unit of each
    // chunk finds no SPS, which tells the AVI scanner from the stream scanner.
    QTest::mouseClick(window->rgScanModeItems->button(1), Qt::LeftButton);
    QCOMPARE(window->rgScanModeItems->checkedId(), 1);
    const std::string upper = CopyFile(FAudAvi, FFolder->File("MOVIE.AVI"));
    QVERIFY(DropOnto(*window, {QString::fromStdString(upper)}));
    QCOMPARE(window->edtPath->text(), QString::fromStdString(upper));
    QCOMPARE(window->edtNalUnitsCount->text(), QStringLiteral("0"));
    // No SPS row: the stream's container statement is listed in their place, without SPS Id or VUI offset.
    QCOMPARE(RowCount(*window), 1);
    QCOMPARE(Row(*window, 0).text(2), QStringLiteral("Container"));
    QVERIFY(Row(*window, 0).text(5).isEmpty() && Row(*window, 0).text(7).isEmpty());

    const size_t total = TraceSps(FAudAvi).size();
    QVERIFY(total >= 2);
    QTest::mouseClick(window->rgScanModeItems->button(0), Qt::LeftButton);
    QVERIFY(DropOnto(*window, {QString::fromStdString(upper)}));
    QCOMPARE(static_cast<size_t>(RowCount(*window)), total);

    // The content decides, not the name: the same AVI under other names goes to the AVI scanner (whose
    // first NAL unit mode finds nothing here), and a raw stream named .avi to the stream scanner, which
    // takes every start code.
    QTest::mouseClick(window->rgScanModeItems->button(1), Qt::LeftButton);
    for (const char *name : {"movie.avi.h264", "movie"}) {
        const std::string other = CopyFile(FAudAvi, FFolder->File(name));
        QVERIFY(DropOnto(*window, {QString::fromStdString(other)}));
        QCOMPARE(window->edtPath->text(), QString::fromStdString(other));
        QCOMPARE(window->edtNalUnitsCount->text(), QStringLiteral("0"));
    }
    const std::string rawNamedAvi = CopyFile(FLong, FFolder->File("raw.avi"));
    QVERIFY(DropOnto(*window, {QString::fromStdString(rawNamedAvi)}));
    QCOMPARE(static_cast<size_t>(RowCount(*window)), TraceSps(FLong).size());
    QTest::mouseClick(window->rgScanModeItems->button(0), Qt::LeftButton);
    QVERIFY(DropOnto(*window, {QString::fromStdString(upper)}));
    // A folder is no file: nothing happens.
    QVERIFY(DropOnto(*window, {QString::fromStdString(FFolder->Path())}));
    QVERIFY(window.Dialogs.Messages.isEmpty() && window.Dialogs.Errors.isEmpty());
    QCOMPARE(static_cast<size_t>(RowCount(*window)), total);
}

void TMainWindowTest::dropOfTwoFilesOpensNothing() {
    TWindowUnderTest window;
    window.OpenStream(FStream);
    QVERIFY(DropOnto(*window, {QString::fromStdString(FAvi), QString::fromStdString(FLong)}));
    QCOMPARE(window.Dialogs.Messages, QStringList({"You can drop only one file at a time!"}));
    QCOMPARE(window->edtPath->text(), QString::fromStdString(FStream));
    QCOMPARE(RowCount(*window), 1);
    QCOMPARE(Row(*window, 0).text(1), QStringLiteral("64:45"));
}

void TMainWindowTest::realMessageBoxes() {
    TQtMessageBoxes boxes;
    WhenModalShown(
        [](QMessageBox &box) {
            QCOMPARE(box.windowTitle(), QStringLiteral("Pellmar"));
            QCOMPARE(box.icon(), QMessageBox::Critical);
            QCOMPARE(box.standardButtons(), QMessageBox::Ok);
            QCOMPARE(box.text(), QStringLiteral("Stream read error."));
        },
        QMessageBox::Ok);
    boxes.ShowError("Stream read error.");

    WhenModalShown(
        [](QMessageBox &box) {
            QCOMPARE(box.windowTitle(), QStringLiteral("Pellmar"));
            QCOMPARE(box.icon(), QMessageBox::NoIcon);
            QCOMPARE(box.standardButtons(), QMessageBox::Ok);
        },
        QMessageBox::Ok);
    boxes.ShowMessage("All changes saved.");

    auto warning = [](QMessageBox &box) {
        QCOMPARE(box.icon(), QMessageBox::Warning);
        QCOMPARE(box.standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
    };
    WhenModalShown(warning, QMessageBox::Ok);
    QVERIFY(boxes.ConfirmSave("Sure?"));
    WhenModalShown(warning, QMessageBox::Cancel);
    QVERIFY(!boxes.ConfirmSave("Sure?"));
    WhenModalShown(warning, QMessageBox::Cancel);
    QVERIFY(!boxes.ConfirmForeignHandler("Scan anyway?"));
}

void TMainWindowTest::aboutBox() {
    TWindowUnderTest window;
    bool shown = false;
    QTimer::singleShot(0, [&] {
        auto *about = qobject_cast<TfrmAbout *>(QApplication::activeModalWidget());
        if (about == nullptr)
            qFatal("the About box is not shown");
        shown = true;
        QCOMPARE(about->windowTitle(), QStringLiteral("About"));
        QVERIFY(about->Label1->wordWrap());
        QVERIFY(about->Label1->text().contains("own risk"));
        QVERIFY(about->Label1->text().startsWith("Pellmar 0.1 beta\nVersion " PELLMAR_EXPECTED_VERSION "\n"));
        QTest::mouseClick(about->Button1, Qt::LeftButton);
    });
    window->About1->trigger();
    QVERIFY(shown);
    QVERIFY(!window->frmAbout->isVisible());
}

void TMainWindowTest::keyboardShortcuts() {
    TWindowUnderTest window;
    QCOMPARE(window->OpenAvi1->shortcut(), QKeySequence(QKeySequence::Open));
    QCOMPARE(window->SaveChanges1->shortcut(), QKeySequence(QKeySequence::Save));
    QCOMPARE(window->Exit1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QVERIFY(!window->OpenelementaryStream1->shortcut().isEmpty());

    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.Window.get()));
    window.Dialogs.FileToOpen = QString::fromStdString(FStream);
    QTest::keyClick(window.Window.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(RowCount(*window), 1);
    QTest::keyClick(window.Window.get(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(window.Dialogs.Filters.size(), 2);
    QCOMPARE(window.Dialogs.Filters.last(), QStringLiteral("avi files (*.avi);;all files (*)"));
    QTest::keyClick(window.Window.get(), Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(!window->isVisible());
}

// Tab walks from the open buttons through the scan mode, the list and its buttons, the panel top to
// bottom, to saving and "Abort"; the display fields are passed over.
void TMainWindowTest::keyboardReachesEveryControlInOrder() {
    TWindowUnderTest window;
    window.OpenStream(FStream); // the custom SAR fields are open
    QWidget *const order[] = {window->btn_LoadRIFF, window->btnLoadStream, window->rbDeepScan,
                              window->lvARList,     window->btnSelectAll,  window->btnReset,
                              window->rbSAR,        window->cbSAR,         window->edtSARx,
                              window->edtSARy,      window->btnSet,        window->btnSave};
    std::vector<QWidget *> chain;
    QWidget *widget = window->btn_LoadRIFF;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) != 0 && widget->isEnabled() && widget->isVisible())
            chain.push_back(widget);
        widget = widget->nextInFocusChain();
    } while (widget != window->btn_LoadRIFF);
    auto at = chain.begin();
    for (QWidget *control : order) {
        at = std::find(at, chain.end(), control);
        QVERIFY2(at != chain.end(), qPrintable(control->objectName()));
    }
    for (QWidget *field : std::initializer_list<QWidget *>{window->edtPath, window->edtNalUnitsCount,
                                                           window->edtResolution, window->edtProgress})
        QVERIFY(std::find(chain.begin(), chain.end(), field) == chain.end());

    // Enter in a ratio field sets the ratio on the selected rows.
    TypeInto(window->edtSARx, "4");
    TypeInto(window->edtSARy, "3");
    QTest::keyClick(window->edtSARy, Qt::Key_Enter);
    QCOMPARE(Row(*window, 0).text(1), QStringLiteral("4:3"));
    QVERIFY(DrawnAsChanged(Row(*window, 0)));
    // Without a usable value Enter does nothing.
    window->lvARList->selectAll();
    TypeInto(window->edtSARx, "");
    QTest::keyClick(window->edtSARx, Qt::Key_Return);
    QCOMPARE(Row(*window, 0).text(1), QStringLiteral("4:3"));
    QVERIFY(window.Dialogs.Messages.isEmpty() && window.Dialogs.Errors.isEmpty());
}

void TMainWindowTest::escapeAbortsScan() {
    const size_t total = TraceSps(FLong).size();
    TWindowUnderTest window;
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.Window.get()));
    QTimer watcher;
    watcher.setInterval(0);
    connect(&watcher, &QTimer::timeout, [&] {
        if (RowCount(*window) < 3)
            return;
        watcher.stop();
        QTest::keyClick(window.Window.get(), Qt::Key_Escape);
    });
    watcher.start();
    window.OpenStream(FLong);
    QVERIFY(RowCount(*window) >= 3);
    QVERIFY(static_cast<size_t>(RowCount(*window)) < total);
    QVERIFY(!window->btnCancel->isEnabled());
}

void TMainWindowTest::listAndPreviewGrowWithWindow() {
    TWindowUnderTest window;
    window.OpenAvi(FAvi);
    const QSize list = window->lvARList->size();
    const QSize preview = window->pnlPreview->size();
    const QSize panel = window->grpNewAR->size();
    window->resize(window->size() + QSize(200, 300));
    QTRY_VERIFY(window->lvARList->width() > list.width());
    QVERIFY(window->lvARList->height() > list.height());
    if (PreviewAvailable())
        QVERIFY(window->pnlPreview->width() > preview.width() &&
                window->pnlPreview->height() > preview.height());
    // The panel keeps its size at the right edge.
    QCOMPARE(window->grpNewAR->size(), panel);
    QVERIFY(window->grpNewAR->geometry().right() > window->lvARList->geometry().right());
}

// "pellmar FILE": the file opens once the event loop runs, named as the shell passes it.
void TMainWindowTest::commandLineFileOpensAtStartUp() {
    const QString folder = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(FFolder->Path()));
    TWindowUnderTest window;
    window->OpenAtStart({"pellmar", "wide.h264"});
    QDir::setCurrent(folder);
    QCOMPARE(RowCount(*window), 0);
    QTRY_COMPARE(RowCount(*window), 1);
    QCOMPARE(window->edtPath->text(), QString::fromStdString(FStream));
    QCOMPARE(window->lblFormat->text(), QStringLiteral("raw H.264 stream"));
    QCOMPARE(Row(*window, 0).text(1), QStringLiteral("64:45"));

    TWindowUnderTest bare;
    bare->OpenAtStart({"pellmar"});
    const QString missing = QString::fromStdString(FFolder->File("missing.h264"));
    bare->OpenAtStart({"pellmar", missing});
    QTRY_COMPARE(bare.Dialogs.Errors, QStringList({"File not found: " + missing + "."}));
    QVERIFY(bare->edtPath->text().isEmpty());
}

QTEST_MAIN(TMainWindowTest)
#include "MainWindowTest.moc"
