// Every format the program reads, with H.264 and with HEVC, opened as a drop opens it, from real files
// made by ffmpeg: the format beside the path, the container's statement in its column, the change of a
// file whose SPS carry no ratio (the container alone), a save of stream and container together, and the
// picture of the preview.

#include "FramePreview.h"
#include "PreviewWidget.h"
#include "TestFiles.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <cmath>

namespace {

// A format, with what the window shows for a 720x576 picture at SAR 12:11 (DAR 15:11).
struct TFormatCase {
    const char *Name;
    const char *Muxer;   // ffmpeg's -f
    const char *Encoder; // ffmpeg's -c:v
    const char *Label;   // beside the path, with the codec of its tracks
    const char *Stated;  // the "Container DAR" column
    // Whether a file whose SPS carry no ratio is listed by its container's statement (ffmpeg writes no
    // Matroska display size for a stream without one).
    bool ContainerRow;
};

// A format the program reads joins the tests with one line here.
const TFormatCase Formats[] = {
    {"AVI", "avi", "libx264", "AVI (RIFF) · H.264", "15:11", false},
    {"raw H.264", "h264", "libx264", "raw H.264 stream", "none", false},
    {"MP4", "mp4", "libx264", "MP4 (ISO base media) · H.264", "15:11", true},
    {"MPEG-TS", "mpegts", "libx264", "MPEG-TS (transport stream) · H.264", "none", false},
    {"Matroska", "matroska", "libx264", "Matroska · H.264", "15:11", false},
    {"raw HEVC", "hevc", "libx265", "raw HEVC stream", "none", false},
    {"HEVC MP4", "mp4", "libx265", "MP4 (ISO base media) · HEVC", "15:11", true},
    {"HEVC Matroska", "matroska", "libx265", "Matroska · HEVC", "15:11", false},
};

void AddFormatRows() {
    QTest::addColumn<QString>("muxer");
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("stated");
    QTest::addColumn<bool>("containerRow");
    for (const TFormatCase &format : Formats)
        QTest::newRow(format.Name) << QString(format.Muxer) << QString(format.Encoder)
                                   << QString(format.Label) << QString(format.Stated) << format.ContainerRow;
}

// A codec whose bitstream states no ratio, in a container that states one: changed there alone.
struct TContainerOnlyCase {
    const char *Name;
    const char *Muxer;
    const char *Encoder;
    const char *Label;
    const char *Sar; // made with; ffmpeg's WebM of square samples has no display size to change in place
};

const TContainerOnlyCase ContainerOnlyFormats[] = {
    {"VP9 WebM", "webm", "libvpx-vp9", "WebM \u00b7 VP9", ""},
    {"AV1 MP4", "mp4", "libaom-av1", "MP4 (ISO base media) \u00b7 AV1", "12/11"},
};

double Aspect(const QRectF &rect) {
    return rect.width() / rect.height();
}

// Whether a drawn picture has the display aspect ratio x:y, to within the rounding of one pixel.
bool DrawnAt(const QRectF &rect, double x, double y) {
    return !rect.isEmpty() && std::abs(Aspect(rect) - x / y) < 2.0 / rect.height();
}

} // namespace

class TFormatsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> FFolder;
    int FFiles = 0;

    // Saves the window's changes, which must all be written, and checks the SAR ffprobe then reads.
    static void SaveAndProbe(TWindowUnderTest &window, const std::string &path, TRatio sar) {
        QTest::mouseClick(window->btnSave, Qt::LeftButton);
        QVERIFY(window.Dialogs.Errors.isEmpty());
        QCOMPARE(window.Dialogs.Messages.size(), 1);
        QVERIFY(window.Dialogs.Messages[0].startsWith("All changes saved."));
        const ProbedVideo shown = ProbeVideo(path);
        QCOMPARE(ReduceRatio(shown.sarWidth, shown.sarHeight).X, sar.X);
        QCOMPARE(ReduceRatio(shown.sarWidth, shown.sarHeight).Y, sar.Y);
    }

    // A fresh file of the format, 720x576, under a name that tells nothing of its format: the content
    // decides.
    std::string Make(const QString &muxer, const QString &encoder, const std::string &sar) {
        const std::string path = FFolder->File("clip" + std::to_string(++FFiles) + ".bin");
        VideoSpec video = Video(720, 576, 8, sar);
        video.encoder = encoder.toStdString();
        MakeContainer(path, {video}, muxer.toStdString());
        return path;
    }

private slots:
    void initTestCase();
    void dropShowsFormatAndContainer_data() { AddFormatRows(); }
    void dropShowsFormatAndContainer();
    void containerOnlyChange_data() { AddFormatRows(); }
    void containerOnlyChange();
    void saveChangesStreamAndContainer_data() { AddFormatRows(); }
    void saveChangesStreamAndContainer();
    void previewDrawsPictureNowAndAfter_data() { AddFormatRows(); }
    void previewDrawsPictureNowAndAfter();
    void containerOnlyCodecChangesInItsContainer_data();
    void containerOnlyCodecChangesInItsContainer();
    void mpegVideoOffersItsOwnCodes();
    void xvidAviOffersItsOwnCodes();
};

void TFormatsTest::initTestCase() {
    QVERIFY2(HaveHevcTools(), "ffmpeg, ffprobe, libx264 and libx265 are needed");
    FFolder = std::make_unique<TempDir>();
}

void TFormatsTest::dropShowsFormatAndContainer() {
    QFETCH(QString, muxer);
    QFETCH(QString, encoder);
    QFETCH(QString, label);
    QFETCH(QString, stated);
    const std::string path = Make(muxer, encoder, "12/11");
    TWindowUnderTest window;
    QVERIFY(window->lblFormat->text().isEmpty());
    QVERIFY(DropOnto(*window, {QString::fromStdString(path)}));
    QVERIFY(window.Dialogs.Errors.isEmpty() && window.Dialogs.Messages.isEmpty());
    QCOMPARE(window->edtPath->text(), QString::fromStdString(path));
    QCOMPARE(window->lblFormat->text(), label);
    QVERIFY(RowCount(*window) >= 1);
    for (int i = 0; i < RowCount(*window); ++i) {
        const QStringList texts = RowTexts(Row(*window, i));
        QCOMPARE(texts.mid(1, 4), QStringList({"12:11", "Predefined", "720x576", "15:11"}));
        QCOMPARE(texts.at(8), stated);
    }
    // Nothing changed, nothing planned.
    QVERIFY(window->lblSavePlan->isHidden());

    // A file no scanner reads still names its format.
    const std::string flv = FFolder->File("clip.flv");
    MakeContainer(flv, {Video(176, 144, 2, "1/1")}, "flv");
    QVERIFY(DropOnto(*window, {QString::fromStdString(flv)}));
    QCOMPARE(window->lblFormat->text(), QStringLiteral("FLV (Flash Video)"));
    QCOMPARE(window.Dialogs.Errors.size(), 1);
    QCOMPARE(RowCount(*window), 0);

    // A stream of another codec under a name that says H.264 is read as its content says.
    const std::string mpeg4 = FFolder->File("mpeg4.h264");
    VideoSpec video = Video(176, 144, 2, "1/1");
    video.encoder = "mpeg4";
    MakeElementaryStream(mpeg4, video, "m4v");
    QVERIFY(DropOnto(*window, {QString::fromStdString(mpeg4)}));
    QCOMPARE(window->lblFormat->text(), QStringLiteral("raw MPEG-4 Part 2 video stream"));
    QCOMPARE(window.Dialogs.Errors.size(), 1);
    QCOMPARE(RowCount(*window), 1);
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"1:1", "Predefined", "176x144", "11:9"}));
}

// SPS without a ratio: where the container states one, its row is offered and a change writes the
// container alone, which is what players then show; the stream keeps its SPS.
void TFormatsTest::containerOnlyChange() {
    QFETCH(QString, muxer);
    QFETCH(QString, encoder);
    QFETCH(bool, containerRow);
    const std::string path = Make(muxer, encoder, "");
    const std::vector<std::string> frames = FrameMd5(path);
    const size_t size = Bytes(path).size();
    TWindowUnderTest window;
    QVERIFY(DropOnto(*window, {QString::fromStdString(path)}));
    QCOMPARE(window->edtNalUnitsCount->text(), QStringLiteral("1"));
    if (!containerRow) {
        QCOMPARE(RowCount(*window), 0);
        QVERIFY(!window->actSave->isEnabled());
        return;
    }
    QCOMPARE(RowCount(*window), 1);
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"1:1", "Container", "720x576", "5:4"}));
    QCOMPARE(Row(*window, 0).text(8), QStringLiteral("5:4"));

    // A DAR typed and taken with Enter.
    QTest::mouseClick(window->rbDAR, Qt::LeftButton);
    TypeInto(window->edtDARx, "16");
    TypeInto(window->edtDARy, "9");
    QTest::keyClick(window->edtDARy, Qt::Key_Return);
    QVERIFY(DrawnAsChanged(Row(*window, 0)));
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 5), QStringList({"64:45", "Container", "720x576", "16:9", ""}));
    QCOMPARE(Row(*window, 0).text(8), QStringLiteral("5:4 \u2192 16:9"));
    // What the save will write is in the window before the question.
    QVERIFY(!window->lblSavePlan->isHidden());
    const QStringList planned = window->lblSavePlan->text().split('\n');
    QCOMPARE(planned.first(), QStringLiteral("What saving does to the container:"));
    QVERIFY(planned.size() >= 2);

    QTest::mouseClick(window->btnSave, Qt::LeftButton);
    QCOMPARE(window.Dialogs.SaveQuestions.size(), 1);
    for (const QString &line : planned.mid(1))
        QVERIFY2(window.Dialogs.SaveQuestions[0].contains(line), qPrintable(line));
    QVERIFY(window.Dialogs.Errors.isEmpty());
    QCOMPARE(window.Dialogs.Messages.size(), 1);
    QVERIFY(window.Dialogs.Messages[0].startsWith("All changes saved."));
    const ProbedVideo shown = ProbeVideo(path);
    QCOMPARE(ReduceRatio(shown.sarWidth, shown.sarHeight).X, 64);
    QCOMPARE(ReduceRatio(shown.sarWidth, shown.sarHeight).Y, 45);
    QCOMPARE(TraceSps(path, 0, true).front().aspectRatioIdc, -1);
    QCOMPARE(Bytes(path).size(), size);
    QVERIFY(FrameMd5(path) == frames);
    QVERIFY(DrawnNormally(Row(*window, 0)));
    QCOMPARE(Row(*window, 0).text(8), QStringLiteral("16:9"));
    QVERIFY(window->lblSavePlan->isHidden());
}

void TFormatsTest::saveChangesStreamAndContainer() {
    QFETCH(QString, muxer);
    QFETCH(QString, encoder);
    QFETCH(QString, stated);
    const std::string path = Make(muxer, encoder, "12/11");
    const std::vector<std::string> frames = FrameMd5(path);
    const size_t size = Bytes(path).size();
    TWindowUnderTest window;
    QVERIFY(DropOnto(*window, {QString::fromStdString(path)}));
    ChooseSar(*window, 3); // 16:11, PAL 16:9
    QTest::mouseClick(window->btnSet, Qt::LeftButton);
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"16:11", "Predefined", "720x576", "20:11"}));
    const bool container = stated != QStringLiteral("none");
    QCOMPARE(Row(*window, 0).text(8), container ? QStringLiteral("15:11 \u2192 20:11") : stated);
    QCOMPARE(window->lblSavePlan->isHidden(), !container);

    QTest::mouseClick(window->btnSave, Qt::LeftButton);
    QVERIFY(window.Dialogs.Errors.isEmpty());
    QCOMPARE(window.Dialogs.Messages.size(), 1);
    QVERIFY(window.Dialogs.Messages[0].startsWith("All changes saved."));
    for (const ProbedVideo &probed : {ProbeVideo(path), ProbeVideoBitstream(path)}) {
        QCOMPARE(probed.sarWidth, 16);
        QCOMPARE(probed.sarHeight, 11);
    }
    QCOMPARE(Bytes(path).size(), size);
    QVERIFY(FrameMd5(path) == frames);
    QCOMPARE(Row(*window, 0).text(8), container ? QStringLiteral("20:11") : stated);
}

// The picture comes from the decoder while the window stays usable; its size is the stream's, and each
// side is drawn at its display aspect ratio.
void TFormatsTest::previewDrawsPictureNowAndAfter() {
    if (!PreviewAvailable())
        QSKIP("built without the preview");
    QFETCH(QString, muxer);
    QFETCH(QString, encoder);
    const std::string path = Make(muxer, encoder, "12/11");
    TWindowUnderTest window;
    TPreviewWidget &preview = *window->pnlPreview;
    QVERIFY(DropOnto(*window, {QString::fromStdString(path)}));
    QTRY_COMPARE_WITH_TIMEOUT(preview.State(), TPreviewWidget::TState::Picture, 20000);
    QCOMPARE(preview.Picture().size(), QSize(720, 576));
    QCOMPARE(preview.NowRatio().X, 15);
    QCOMPARE(preview.NowRatio().Y, 11);
    QCOMPARE(preview.AfterRatio().X, 0);
    QVERIFY(DrawnAt(preview.NowRect(), 15, 11));
    QVERIFY(DrawnAt(preview.AfterRect(), 15, 11));
    QCOMPARE(preview.NowCaption(), QStringLiteral("Now: DAR 15:11"));
    QCOMPARE(preview.AfterCaption(), QStringLiteral("After saving: unchanged"));

    ChooseSar(*window, 3);
    QTest::mouseClick(window->btnSet, Qt::LeftButton);
    QVERIFY(DrawnAt(preview.NowRect(), 15, 11));
    QVERIFY(DrawnAt(preview.AfterRect(), 20, 11));
    QCOMPARE(preview.AfterCaption(), QStringLiteral("After saving: DAR 20:11"));
    // The window grows, and the picture with it.
    const QRectF before = preview.NowRect();
    window->resize(window->size() + QSize(300, 300));
    QTRY_VERIFY(preview.NowRect().width() > before.width());
    QVERIFY(DrawnAt(preview.NowRect(), 15, 11));

    QTest::mouseClick(window->btnReset, Qt::LeftButton);
    QCOMPARE(preview.AfterCaption(), QStringLiteral("After saving: unchanged"));
    QVERIFY(DrawnAt(preview.AfterRect(), 15, 11));
}

void TFormatsTest::containerOnlyCodecChangesInItsContainer_data() {
    QTest::addColumn<QString>("muxer");
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("sar");
    for (const TContainerOnlyCase &format : ContainerOnlyFormats)
        QTest::newRow(format.Name) << QString(format.Muxer) << QString(format.Encoder)
                                   << QString::fromUtf8(format.Label) << QString(format.Sar);
}

// One row for the track, of type Container, its codec named beside the path and in the tip; a DAR typed
// is written in the container, which players then show; the preview draws the decoded picture at the
// ratio now and after.
void TFormatsTest::containerOnlyCodecChangesInItsContainer() {
    QFETCH(QString, muxer);
    QFETCH(QString, encoder);
    QFETCH(QString, label);
    QFETCH(QString, sar);
    if (!HaveEncoder(encoder.toStdString()))
        QSKIP("ffmpeg without this encoder");
    const std::string path = FFolder->File("clip" + std::to_string(++FFiles) + ".bin");
    VideoSpec video = Video(352, 288, 8, sar.toStdString());
    const bool square = sar.isEmpty();
    const QString stated = square ? "1:1" : "12:11", statedDar = square ? "11:9" : "4:3";
    video.encoder = encoder.toStdString();
    MakeContainer(path, {video}, muxer.toStdString());
    const std::vector<std::string> frames = FrameMd5(path);
    const size_t size = Bytes(path).size();
    TWindowUnderTest window;
    QVERIFY(DropOnto(*window, {QString::fromStdString(path)}));
    QVERIFY(window.Dialogs.Errors.isEmpty() && window.Dialogs.Messages.isEmpty());
    QCOMPARE(window->lblFormat->text(), label);
    QCOMPARE(RowCount(*window), 1);
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({stated, "Container", "352x288", statedDar}));
    QCOMPARE(Row(*window, 0).text(8), statedDar);
    QVERIFY2(
        Row(*window, 0).toolTip(0).contains("whose bitstream states no aspect ratio: it is left as it is"),
        qPrintable(Row(*window, 0).toolTip(0)));
    // A ratio, no code: the codec has no table of codes.
    QCOMPARE(window->cbSAR->count(), 1);
    QCOMPARE(window->cbSAR->currentText(), QStringLiteral("Custom"));

    TPreviewWidget &preview = *window->pnlPreview;
    if (PreviewAvailable()) {
        QTRY_COMPARE_WITH_TIMEOUT(preview.State(), TPreviewWidget::TState::Picture, 20000);
        QCOMPARE(preview.Picture().size(), QSize(352, 288));
        QVERIFY(DrawnAt(preview.NowRect(), square ? 11 : 4, square ? 9 : 3));
    }

    QTest::mouseClick(window->rbDAR, Qt::LeftButton);
    TypeInto(window->edtDARx, "16");
    TypeInto(window->edtDARy, "9");
    QTest::keyClick(window->edtDARy, Qt::Key_Return);
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"16:11", "Container", "352x288", "16:9"}));
    QCOMPARE(Row(*window, 0).text(8), statedDar + QStringLiteral(" \u2192 16:9"));
    QVERIFY(!window->lblSavePlan->isHidden());
    if (PreviewAvailable()) {
        QVERIFY(DrawnAt(preview.NowRect(), square ? 11 : 4, square ? 9 : 3));
        QVERIFY(DrawnAt(preview.AfterRect(), 16, 9));
    }

    SaveAndProbe(window, path, {16, 11});
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(Bytes(path).size(), size);
    QVERIFY(FrameMd5(path) == frames);
    // Read anew where the save moved elements to make room for the display size.
    QCOMPARE(RowCount(*window), 1);
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"16:11", "Container", "352x288", "16:9"}));
    QCOMPARE(Row(*window, 0).text(8), QStringLiteral("16:9"));
    QVERIFY(window.Dialogs.Errors.isEmpty());
}

// MPEG-2 video in a transport stream: one row per sequence header; the code list holds MPEG-2's four
// codes, whose ratio depends on the picture size; a code chosen is written in every sequence header.
void TFormatsTest::mpegVideoOffersItsOwnCodes() {
    const std::string path = FFolder->File("clip" + std::to_string(++FFiles) + ".bin");
    VideoSpec video = Video(720, 576, 8, "16/15"); // 4:3, code 2
    video.encoder = "mpeg2video";
    video.keyint = 4;
    MakeContainer(path, {video}, "mpegts");
    const std::vector<std::string> frames = FrameMd5(path);
    TWindowUnderTest window;
    QVERIFY(DropOnto(*window, {QString::fromStdString(path)}));
    QVERIFY(window.Dialogs.Errors.isEmpty() && window.Dialogs.Messages.isEmpty());
    QCOMPARE(window->lblFormat->text(), QStringLiteral("MPEG-TS (transport stream) \u00b7 MPEG-2 video"));
    QCOMPARE(RowCount(*window), 2);
    QCOMPARE(window->Label4->text(),
             QStringLiteral("Units that state the aspect ratio (sequence headers) found:"));
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"16:15", "Predefined", "720x576", "4:3"}));
    QCOMPARE(window->cbSAR->count(), 5);
    QCOMPARE(window->cbSAR->itemText(0), QStringLiteral("1:1  (square samples)"));
    QCOMPARE(window->cbSAR->itemText(2), QStringLiteral("16:9  (display)"));

    window->lvARList->selectAll();
    ChooseSar(*window, 2);
    QTest::mouseClick(window->btnSet, Qt::LeftButton);
    for (int row = 0; row < RowCount(*window); ++row)
        QCOMPARE(RowTexts(Row(*window, row)).mid(1, 4),
                 QStringList({"64:45", "Predefined", "720x576", "16:9"}));
    SaveAndProbe(window, path, {64, 45});
    QVERIFY(FrameMd5(path) == frames);
}

// An Xvid AVI: its VOLs' rows, the table of MPEG-4 Part 2 to choose from, and a save that writes every VOL
// and the video properties.
void TFormatsTest::xvidAviOffersItsOwnCodes() {
    const std::string path = FFolder->File("clip" + std::to_string(++FFiles) + ".bin");
    VideoSpec video = Video(720, 576, 8, "12/11");
    video.encoder = "mpeg4";
    video.tag = "XVID";
    video.keyint = 4;
    MakeAvi(path, {video});
    const std::vector<std::string> frames = FrameMd5(path);
    const size_t size = Bytes(path).size();
    TWindowUnderTest window;
    QVERIFY(DropOnto(*window, {QString::fromStdString(path)}));
    QVERIFY(window.Dialogs.Errors.isEmpty() && window.Dialogs.Messages.isEmpty());
    QCOMPARE(window->lblFormat->text(), QStringLiteral("AVI (RIFF) \u00b7 MPEG-4 Part 2"));
    QCOMPARE(RowCount(*window), 2);
    QCOMPARE(window->Label4->text(), QStringLiteral("Units that state the aspect ratio (VOLs) found:"));
    QCOMPARE(RowTexts(Row(*window, 0)).mid(1, 4), QStringList({"12:11", "Predefined", "720x576", "15:11"}));
    QCOMPARE(window->cbSAR->itemText(1), QStringLiteral("12:11  (4:3 PAL)"));
    QCOMPARE(window->cbSAR->itemText(3), QStringLiteral("16:11  (16:9 PAL)"));

    window->lvARList->selectAll();
    ChooseSar(*window, 3);
    QTest::mouseClick(window->btnSet, Qt::LeftButton);
    for (int row = 0; row < RowCount(*window); ++row)
        QCOMPARE(RowTexts(Row(*window, row)).mid(1, 4),
                 QStringList({"16:11", "Predefined", "720x576", "20:11"}));
    SaveAndProbe(window, path, {16, 11});
    QCOMPARE(Bytes(path).size(), size);
    QVERIFY(FrameMd5(path) == frames);
    QCOMPARE(Row(*window, 0).text(8), QStringLiteral("20:11"));
}

QTEST_MAIN(TFormatsTest)
#include "FormatsTest.moc"
