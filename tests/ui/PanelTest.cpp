// The "New Aspect Ratio" panel and saving, driven through the real window on the offscreen platform,
// with files made by ffmpeg/libx264 and checked with ffprobe after saving.

#include "Journals.h"
#include "TestFiles.h"
#include "UiTestSupport.h"
#include "base/Streams.h"
#include "scan/JournalStore.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <filesystem>

namespace {

void Click(QAbstractButton *button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

void Paste(QLineEdit *field, const QString &text) {
    QGuiApplication::clipboard()->setText(text);
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
}

QStringList SarTexts(TForm21 &window) {
    return {window.edtSARx->text(), window.edtSARy->text(), window.edtDARx->text(), window.edtDARy->text()};
}

} // namespace

class TPanelTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> FFolder;
    std::string FPal;    // raw stream, 720x576, SAR 12:11 (predefined code 2)
    std::string FWide;   // raw stream, 720x576, SAR 64:45 (custom)
    std::string FPalAvi; // AVI, 720x576, SAR 12:11, three SPS
    int FCopies = 0;

    // A fresh copy of a file, to be changed by one test.
    std::string Copy(const std::string &file) {
        return CopyFile(file, FFolder->File("copy" + std::to_string(++FCopies) + "-" +
                                            std::filesystem::path(file).filename().string()));
    }

private slots:
    void initTestCase();
    void predefinedChoiceShowsSarAndDar();
    void darTypedGivesCustomSar();
    void darWithoutLoadedRowLeavesSarEmpty();
    void emptiedFieldStoresNothing();
    void fieldsTakeOnlyDigitsWithinTheirBounds();
    void setMarksSelectedRowsAndResetClearsThem();
    void saveAnsweredOkChangesStream();
    void saveAnsweredOkChangesAvi();
    void saveAnsweredCancelLeavesFileByteIdentical();
    void kindRefusalThenResetAllThenSave();
    void refusedRowsAreShownInsteadOfWriting();
    void saveWithoutFileOnlyDisablesSave();
    void saveErrorsReachErrorBox();
    void undoLastSaveAndRecoveryWhenOpened();
};

void TPanelTest::initTestCase() {
    QVERIFY2(HaveMediaTools(), "ffmpeg, ffprobe and libx264 are needed");
    FFolder = std::make_unique<TempDir>();
    FPal = FFolder->File("pal.h264");
    MakeRawH264(FPal, Video(720, 576, 4, "12/11"));
    FWide = FFolder->File("wide.h264");
    MakeRawH264(FWide, Video(720, 576, 4, "64/45"));
    FPalAvi = FFolder->File("pal.avi");
    VideoSpec avi = Video(720, 576, 6, "12/11");
    avi.repeatHeaders = true;
    avi.keyint = 2;
    MakeAvi(FPalAvi, {avi});
}

void TPanelTest::predefinedChoiceShowsSarAndDar() {
    TWindowUnderTest window;
    window.OpenStream(FWide);
    ChooseSar(*window, 1);
    QCOMPARE(window->cbSAR->currentText(), QStringLiteral("12:11  (  4:3 PAL   MPEG-4)"));
    QCOMPARE(SarTexts(*window), QStringList({"12", "11", "15", "11"}));
    for (QLineEdit *field : {window->edtSARx, window->edtSARy, window->edtDARx, window->edtDARy})
        QVERIFY(!field->isEnabled() && field->isReadOnly());
    QVERIFY(window->btnSet->isEnabled());

    // "Custom" keeps the ratio and makes it editable.
    ChooseSar(*window, 16);
    QCOMPARE(SarTexts(*window), QStringList({"12", "11", "15", "11"}));
    QVERIFY(window->edtSARx->isEnabled() && !window->edtSARx->isReadOnly());
    QVERIFY(!window->edtDARx->isEnabled());
}

void TPanelTest::darTypedGivesCustomSar() {
    TWindowUnderTest window;
    window.OpenStream(FPal);
    Click(window->rbDAR);
    QVERIFY(!window->cbSAR->isEnabled());
    QVERIFY(window->edtDARx->isEnabled() && !window->edtDARx->isReadOnly());
    QVERIFY(!window->edtSARx->isEnabled());
    TypeInto(window->edtDARx, "16");
    TypeInto(window->edtDARy, "9");
    QCOMPARE(SarTexts(*window), QStringList({"64", "45", "16", "9"}));
    QCOMPARE(window->cbSAR->currentText(), QStringLiteral("Custom"));
    QVERIFY(!window->cbSAR->isEnabled());
    QVERIFY(window->btnSet->isEnabled());

    // Back to SAR mode the computed custom ratio is shown in editable fields.
    Click(window->rbSAR);
    QVERIFY(window->cbSAR->isEnabled());
    QVERIFY(window->edtSARx->isEnabled() && !window->edtDARx->isEnabled());
    QCOMPARE(SarTexts(*window), QStringList({"64", "45", "16", "9"}));
}

void TPanelTest::darWithoutLoadedRowLeavesSarEmpty() {
    TWindowUnderTest window;
    Click(window->rbDAR);
    TypeInto(window->edtDARx, "16");
    TypeInto(window->edtDARy, "9");
    QCOMPARE(SarTexts(*window), QStringList({"", "", "16", "9"}));
    QVERIFY(!window->btnSet->isEnabled());
    QCOMPARE(window->cbSAR->currentIndex(), -1);
    QCOMPARE(window->edtResolution->text(), QStringLiteral("[at Resolution: n/a]"));
}

void TPanelTest::emptiedFieldStoresNothing() {
    TWindowUnderTest window;
    window.OpenStream(FWide);
    TypeInto(window->edtSARx, "");
    QCOMPARE(window->edtSARx->text(), QString());
    QCOMPARE(window->edtDARx->text(), QStringLiteral("16")); // nothing else is recomputed
    QVERIFY(window->btnSet->isEnabled());
    Click(window->btnSet);
    QVERIFY(!window->btnSet->isEnabled());
    QVERIFY(!TForm21::RowRecord(Row(*window, 0))->IsChanged());
    QVERIFY(DrawnNormally(Row(*window, 0)));
    QCOMPARE(SelectedRowCount(*window), 1);
}

void TPanelTest::fieldsTakeOnlyDigitsWithinTheirBounds() {
    TWindowUnderTest window;
    window.OpenStream(FWide);
    // Letters, blanks and minus signs typed are discarded, digits pass.
    TypeInto(window->edtSARx, "a1 -b2x");
    QCOMPARE(window->edtSARx->text(), QStringLiteral("12"));
    Paste(window->edtSARx, "3c");
    QCOMPARE(window->edtSARx->text(), QStringLiteral("12"));
    Paste(window->edtSARx, "-5");
    QCOMPARE(window->edtSARx->text(), QStringLiteral("12"));
    Paste(window->edtSARy, "45");
    QCOMPARE(SarTexts(*window), QStringList({"12", "45", "1", "3"}));

    // SAR terms stop at 65535, the largest the stream's 16-bit fields hold.
    TypeInto(window->edtSARx, "65536");
    QCOMPARE(window->edtSARx->text(), QStringLiteral("6553"));
    TypeInto(window->edtSARx, "65535");
    TypeInto(window->edtSARy, "1");
    QCOMPARE(SarTexts(*window), QStringList({"65535", "1", "327675", "4"}));

    // DAR terms stop at the largest 32-bit number; a SAR that would not fit 16 bits is not set.
    Click(window->rbDAR);
    TypeInto(window->edtDARx, "2147483648");
    QCOMPARE(window->edtDARx->text(), QStringLiteral("214748364"));
    TypeInto(window->edtDARx, "2147483647");
    QCOMPARE(window->edtDARx->text(), QStringLiteral("2147483647"));
    QCOMPARE(window->edtSARx->text(), QString());
    QVERIFY(!window->btnSet->isEnabled());
    TypeInto(window->edtDARx, "65536");
    QCOMPARE(window->edtSARx->text(), QString()); // 65536:5
    TypeInto(window->edtDARx, "4");
    TypeInto(window->edtDARy, "3");
    QCOMPARE(SarTexts(*window), QStringList({"16", "15", "4", "3"}));
    QVERIFY(window->btnSet->isEnabled());
    // A zero is stored as "not set" and the field empties.
    TypeInto(window->edtDARy, "0");
    QCOMPARE(SarTexts(*window), QStringList({"", "", "4", ""}));
}

void TPanelTest::setMarksSelectedRowsAndResetClearsThem() {
    TWindowUnderTest window;
    window.OpenAvi(FPalAvi);
    QCOMPARE(RowCount(*window), 3);
    QTest::mouseClick(window->lvARList->viewport(), Qt::LeftButton, Qt::NoModifier,
                      window->lvARList->visualItemRect(&Row(*window, 1)).center());
    QCOMPARE(SelectedRowCount(*window), 1);
    ChooseSar(*window, 3);
    Click(window->btnSet);

    QCOMPARE(SelectedRowCount(*window), 0);
    QVERIFY(DrawnNormally(Row(*window, 0)) && DrawnNormally(Row(*window, 2)));
    QVERIFY(DrawnAsChanged(Row(*window, 1)));
    QCOMPARE(RowTexts(Row(*window, 1)).mid(0, 5),
             QStringList({"1", "16:11", "Predefined", "720x576", "20:11"}));
    QCOMPARE(Row(*window, 0).text(1), QStringLiteral("12:11"));

    Click(window->btnSelectAll);
    QCOMPARE(SelectedRowCount(*window), 3);

    // A double click loads the row's pending value into the panel.
    ChooseSar(*window, 0);
    const QPoint row1 = window->lvARList->visualItemRect(&Row(*window, 1)).center();
    QTest::mouseClick(window->lvARList->viewport(), Qt::LeftButton, Qt::NoModifier, row1);
    QTest::mouseDClick(window->lvARList->viewport(), Qt::LeftButton, Qt::NoModifier, row1);
    QCOMPARE(window->cbSAR->currentText(), QStringLiteral("16:11  (16:9 PAL   MPEG-4)"));
    QCOMPARE(SarTexts(*window), QStringList({"16", "11", "20", "11"}));

    Click(window->btnReset);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(DrawnNormally(Row(*window, i)));
        QCOMPARE(Row(*window, i).text(1), QStringLiteral("12:11"));
    }
    QCOMPARE(window->cbSAR->currentText(),
             QStringLiteral("16:11  (16:9 PAL   MPEG-4)")); // the panel keeps it
}

void TPanelTest::saveAnsweredOkChangesStream() {
    const std::string pal = Copy(FPal);
    const std::vector<std::string> frames = FrameMd5(pal);
    const size_t size = Bytes(pal).size();
    TWindowUnderTest window;
    window.OpenStream(pal);
    ChooseSar(*window, 3);
    Click(window->btnSet);
    QVERIFY(DrawnAsChanged(Row(*window, 0)));
    Click(window->btnSave);
    QCOMPARE(
        window.Dialogs.SaveQuestions,
        QStringList(
            {"WARNING: The original source file will be changed now. Are you sure you want to continue?"}));
    QCOMPARE(window.Dialogs.Messages, QStringList({"All changes saved."}));
    QVERIFY(window.Dialogs.Errors.isEmpty());
    ProbedVideo probed = ProbeVideo(pal);
    QCOMPARE(probed.sarWidth, 16);
    QCOMPARE(probed.sarHeight, 11);
    QCOMPARE(TraceSps(pal).at(0).aspectRatioIdc, 4);
    QCOMPARE(Bytes(pal).size(), size);
    QVERIFY(FrameMd5(pal) == frames);
    QVERIFY(DrawnNormally(Row(*window, 0)));
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"16:11", "Predefined", "720x576", "20:11"}));
    QCOMPARE(window->edtProgress->text(), QStringLiteral("Ready."));
    QCOMPARE(QApplication::overrideCursor(), nullptr);

    // A custom ratio from a DAR into a custom SPS.
    const std::string wide = Copy(FWide);
    window.OpenStream(wide);
    Click(window->rbDAR);
    TypeInto(window->edtDARx, "4");
    TypeInto(window->edtDARy, "3");
    Click(window->btnSet);
    Click(window->btnSave);
    QCOMPARE(window.Dialogs.Messages.size(), 2);
    probed = ProbeVideo(wide);
    QCOMPARE(probed.sarWidth, 16);
    QCOMPARE(probed.sarHeight, 15);
    const TracedSps traced = TraceSps(wide).at(0);
    QCOMPARE(traced.aspectRatioIdc, 255);
    QCOMPARE(traced.sarWidth, 16);
    QCOMPARE(traced.sarHeight, 15);
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"16:15", "Custom", "720x576", "4:3"}));
}

void TPanelTest::saveAnsweredOkChangesAvi() {
    const std::string avi = Copy(FPalAvi);
    const std::vector<std::string> frames = FrameMd5(avi);
    TWindowUnderTest window;
    window.OpenAvi(avi);
    ChooseSar(*window, 4);
    Click(window->btnSet);
    Click(window->btnSave);
    // The container's own display aspect ratio (vprp) changes with the SPS, told in a line of its own.
    QCOMPARE(
        window.Dialogs.Messages,
        QStringList({"All changes saved.\nContainer aspect ratio of stream 0: 15:11 changed to 50:33."}));
    const ProbedVideo probed = ProbeVideoBitstream(avi);
    QCOMPARE(probed.sarWidth, 40);
    QCOMPARE(probed.sarHeight, 33);
    const ProbedVideo container = ProbeVideo(avi);
    QCOMPARE(container.sarWidth, 40);
    QCOMPARE(container.sarHeight, 33);
    const std::vector<TracedSps> traced = TraceSps(avi);
    QCOMPARE(traced.size(), size_t{3});
    for (const TracedSps &sps : traced)
        QCOMPARE(sps.aspectRatioIdc, 5);
    QVERIFY(FrameMd5(avi) == frames);
}

void TPanelTest::saveAnsweredCancelLeavesFileByteIdentical() {
    const std::string pal = Copy(FPal);
    const std::vector<uint8_t> before = Bytes(pal);
    TWindowUnderTest window;
    window.Dialogs.SaveAnswer = false;
    window.OpenStream(pal);
    ChooseSar(*window, 3);
    Click(window->btnSet);
    Click(window->btnSave);
    QCOMPARE(window.Dialogs.SaveQuestions.size(), 1);
    QVERIFY(window.Dialogs.Messages.isEmpty() && window.Dialogs.Errors.isEmpty());
    QVERIFY(Bytes(pal) == before);
    QVERIFY(DrawnAsChanged(Row(*window, 0)));
}

// A ratio keeps the row's kind, as in the command-line program: a predefined row takes the predefined
// code of a custom ratio that has one and refuses one that has none; a predefined code on a custom row is
// refused when saving, and Reset takes the new values back.
void TPanelTest::kindRefusalThenResetAllThenSave() {
    const std::string pal = Copy(FPal);
    const std::vector<uint8_t> before = Bytes(pal);
    TWindowUnderTest window;
    window.OpenStream(pal);
    ChooseSar(*window, 16); // custom
    Paste(window->edtSARx, QStringLiteral("7"));
    Paste(window->edtSARy, QStringLiteral("5"));
    Click(window->btnSet);
    QCOMPARE(window.Dialogs.Messages,
             QStringList(
                 {"Row 0: Saving of these values not possible in this version: Only replace predefined ARs "
                  "by predefined ARs and custom ARs by custom ARs. No predefined aspect ratio equals 7:5."}));
    QVERIFY(DrawnNormally(Row(*window, 0)));
    Paste(window->edtSARx, QStringLiteral("24"));
    Paste(window->edtSARy, QStringLiteral("22"));
    Click(window->btnSet); // 12:11, code 2, its own ratio: nothing to change
    QCOMPARE(Row(*window, 0).text(2), QStringLiteral("Predefined"));
    QVERIFY(DrawnNormally(Row(*window, 0)));

    const std::string wide = Copy(FWide);
    const std::vector<uint8_t> wideBefore = Bytes(wide);
    window.OpenStream(wide);
    window.Dialogs.Messages.clear();
    ChooseSar(*window, 1); // predefined 12:11 in place of the custom 64:45
    Click(window->btnSet);
    QCOMPARE(Row(*window, 0).text(2), QStringLiteral("Predefined"));
    Click(window->btnSave);
    QCOMPARE(
        window.Dialogs.Messages,
        QStringList({"Saving of these values not possible in this version: Only replace predefined ARs by "
                     "predefined ARs and custom ARs by custom ARs."}));
    QVERIFY(window.Dialogs.SaveQuestions.isEmpty());
    QVERIFY(Bytes(wide) == wideBefore);
    QVERIFY(DrawnAsChanged(Row(*window, 0))); // the new values stay for correction

    Click(window->btnReset);
    QVERIFY(DrawnNormally(Row(*window, 0)));
    Click(window->btnSave);
    QCOMPARE(window.Dialogs.SaveQuestions.size(), 1);
    QCOMPARE(window.Dialogs.Messages.last(), QStringLiteral("All changes saved."));
    QVERIFY(Bytes(wide) == wideBefore);
    QVERIFY(Bytes(pal) == before);
}

void TPanelTest::refusedRowsAreShownInsteadOfWriting() {
    const std::string wide = Copy(FWide);
    const std::vector<uint8_t> before = Bytes(wide);
    TWindowUnderTest window;
    window.OpenStream(wide);
    // sar_width 0x8000 and sar_height 0x0001 hold 30 zero bits in a row: written anywhere, they form
    // 00 00 0x, which emulation prevention forbids.
    TypeInto(window->edtSARx, "32768");
    TypeInto(window->edtSARy, "1");
    Click(window->btnSet);
    Click(window->btnSave);
    QCOMPARE(window.Dialogs.Messages.size(), 1);
    const QString &shown = window.Dialogs.Messages[0];
    QVERIFY2(
        shown.startsWith("Nothing was saved: 1 of the changes can not be written in place.\n\nRow 0: The "
                         "aspect ratio at "),
        qPrintable(shown));
    QVERIFY2(shown.contains("forbidden byte sequence 00 00 0"), qPrintable(shown));
    QVERIFY(window.Dialogs.SaveQuestions.isEmpty());
    QVERIFY(Bytes(wide) == before);
    QVERIFY(Row(*window, 0).isSelected());
    QVERIFY(DrawnAsChanged(Row(*window, 0)));
}

void TPanelTest::saveWithoutFileOnlyDisablesSave() {
    TWindowUnderTest window;
    QVERIFY(window->actSave->isEnabled() && window->btnSave->isEnabled());
    Click(window->btnSave);
    QVERIFY(!window->actSave->isEnabled());
    QVERIFY(!window->btnSave->isEnabled() && !window->SaveChanges1->isEnabled());
    QVERIFY(window.Dialogs.Messages.isEmpty() && window.Dialogs.SaveQuestions.isEmpty() &&
            window.Dialogs.Errors.isEmpty());
}

void TPanelTest::saveErrorsReachErrorBox() {
    const std::string pal = Copy(FPal);
    const std::vector<uint8_t> before = Bytes(pal);
    TWindowUnderTest window;
    window.OpenStream(pal);
    ChooseSar(*window, 3);
    Click(window->btnSet);

    // Another program holds the file open for writing.
    {
        TFileStream other(pal, TFileOpenMode::ReadWriteExclusive);
        Click(window->btnSave);
    }
    QCOMPARE(window.Dialogs.Errors.size(), 1);
    QVERIFY(window.Dialogs.Errors[0].endsWith('.'));
    QVERIFY(Bytes(pal) == before);
    QVERIFY(DrawnAsChanged(Row(*window, 0)));
    QCOMPARE(QApplication::overrideCursor(), nullptr);

    // The file has gone since it was opened.
    std::filesystem::remove(pal);
    Click(window->btnSave);
    QCOMPARE(window.Dialogs.Errors.size(), 2);
    QCOMPARE(window.Dialogs.Errors[1], QString::fromStdString("File not found: " + pal + "."));
    QVERIFY(window.Dialogs.Messages.isEmpty());
}

// Every save keeps a journal: File > Undo Last Save puts the file back once; a save cut short (its journal
// still pending) is offered for recovery when the file is opened.
void TPanelTest::undoLastSaveAndRecoveryWhenOpened() {
    const std::string pal = Copy(FPal);
    const std::vector<uint8_t> original = Bytes(pal);
    TWindowUnderTest window;
    window.OpenStream(pal);
    QVERIFY(!window->UndoLastSave1->isEnabled());
    ChooseSar(*window, 3);
    Click(window->btnSet);
    Click(window->btnSave);
    QVERIFY(window.Dialogs.Errors.isEmpty());
    const std::vector<uint8_t> saved = Bytes(pal);
    QVERIFY(saved != original);
    QVERIFY(window->UndoLastSave1->isEnabled());

    // No answers no: nothing happens.
    window.Dialogs.UndoAnswer = false;
    window->UndoLastSave1->trigger();
    QCOMPARE(window.Dialogs.UndoQuestions.size(), 1);
    QVERIFY(window.Dialogs.UndoQuestions[0].startsWith("Undo the last save of this file, made "));
    QVERIFY2(window.Dialogs.UndoQuestions[0].endsWith("Its old bytes are written back (places: 1)."),
             qPrintable(window.Dialogs.UndoQuestions[0]));
    QVERIFY(Bytes(pal) == saved);

    window.Dialogs.UndoAnswer = true;
    window->UndoLastSave1->trigger();
    QVERIFY(window.Dialogs.Errors.isEmpty());
    QVERIFY(Bytes(pal) == original);
    QCOMPARE(window.Dialogs.Messages.last(),
             QStringLiteral("The last save was undone: 6 bytes written back (places: 1)."));
    // The rows show the file as it is again, and there is nothing more to undo.
    QCOMPARE(RowTexts(Row(*window, 0)).at(1), QStringLiteral("12:11"));
    QVERIFY(!window->UndoLastSave1->isEnabled());

    // A save whose journal still says pending: offered when the file is opened, and put back.
    ChooseSar(*window, 4);
    Click(window->btnSet);
    Click(window->btnSave);
    const std::vector<uint8_t> savedAgain = Bytes(pal);
    QVERIFY(savedAgain != original);
    MarkSaveInterrupted(pal);

    TWindowUnderTest reopened;
    reopened.Dialogs.RecoveryAnswer = false;
    reopened.OpenStream(pal);
    QCOMPARE(reopened.Dialogs.RecoveryQuestions.size(), 1);
    QVERIFY(reopened.Dialogs.RecoveryQuestions[0].contains(QString::fromStdString(pal)));
    QVERIFY(reopened.Dialogs.RecoveryQuestions[0].endsWith("Put back the bytes it had before that save?"));
    QVERIFY(Bytes(pal) == savedAgain);
    // Declined: a save is refused, naming the interrupted one.
    ChooseSar(*reopened, 2);
    Click(reopened->btnSet);
    Click(reopened->btnSave);
    QVERIFY(reopened.Dialogs.Messages.last().contains("was interrupted"));
    QVERIFY(!reopened.Dialogs.Messages.last().contains("Row "));
    QVERIFY(Bytes(pal) == savedAgain);

    reopened.Dialogs.RecoveryAnswer = true;
    reopened.OpenStream(pal);
    QCOMPARE(reopened.Dialogs.RecoveryQuestions.size(), 2);
    QVERIFY(Bytes(pal) == original);
    QVERIFY(reopened.Dialogs.Messages.contains(
        "The old bytes of the interrupted save were put back (places: 1); the file is as it was before that "
        "save."));
    QCOMPARE(RowTexts(Row(*reopened, 0)).at(1), QStringLiteral("12:11"));
    QVERIFY(!std::filesystem::exists(JournalBeside(pal)));
}

QTEST_MAIN(TPanelTest)
#include "PanelTest.moc"
