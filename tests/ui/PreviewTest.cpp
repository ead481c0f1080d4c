// The preview's decoder on real and broken files, and what the window shows for a file without picture.

#include "FramePreview.h"
#include "PreviewWidget.h"
#include "TestFiles.h"
#include "UiTestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <fstream>

class TPreviewTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> FFolder;

private slots:
    void initTestCase();
    void decodesAKeyFrameNearTheMiddle();
    void noPictureFromWhatDoesNotDecode();
    void cancelledDecodeGivesNothing();
    void onlyTheLatestRequestIsReported();
    void windowShowsPlaceholderWithoutErrorBox();
};

void TPreviewTest::initTestCase() {
    if (!PreviewAvailable())
        QSKIP("built without the preview");
    QVERIFY2(HaveMediaTools(), "ffmpeg, ffprobe and libx264 are needed");
    FFolder = std::make_unique<TempDir>();
}

// A raw stream has no index: the decoder seeks to its middle byte. Two streams of different picture sizes
// one after the other, the second much longer, tell where the picture came from.
void TPreviewTest::decodesAKeyFrameNearTheMiddle() {
    const std::string first = FFolder->File("first.h264");
    const std::string second = FFolder->File("second.h264");
    MakeRawH264(first, Video(320, 240, 10, "1/1"));
    VideoSpec later = Video(352, 288, 100, "12/11");
    later.keyint = 10;
    MakeRawH264(second, later);
    std::vector<uint8_t> joined = Bytes(first);
    const std::vector<uint8_t> tail = Bytes(second);
    QVERIFY(tail.size() > 3 * joined.size());
    joined.insert(joined.end(), tail.begin(), tail.end());
    const std::string both = FFolder->File("both.bin");
    WriteFile(both, joined);

    const std::atomic<bool> running{false};
    TPreviewFrame middle = DecodePreviewFrame(both, TFileFormat::RawH264, running);
    QCOMPARE(middle.Image.size(), QSize(352, 288));
    QCOMPARE(middle.SarWidth, 12);
    QCOMPARE(middle.SarHeight, 11);
    // The start of a short file is its middle's key frame.
    QCOMPARE(DecodePreviewFrame(first, TFileFormat::RawH264, running).Image.size(), QSize(320, 240));

    // A container's index: the picture of an MP4 whose stream is cropped to 1920x1080 from 1920x1088.
    const std::string mp4 = FFolder->File("hd.mp4");
    MakeContainer(mp4, {Video(1920, 1080, 30, "1/1")}, "mp4");
    QCOMPARE(DecodePreviewFrame(mp4, TFileFormat::Mp4, running).Image.size(), QSize(1920, 1080));
}

// An SPS alone, bytes of nothing, a file that is not there: no picture, and no exception.
void TPreviewTest::noPictureFromWhatDoesNotDecode() {
    const std::atomic<bool> running{false};
    const std::string stream = FFolder->File("sps-only.h264");
    MakeRawH264(stream, Video(176, 144, 1, "1/1"));
    std::vector<uint8_t> bytes = Bytes(stream);
    bytes.resize(40); // the SPS and a little of the PPS
    WriteFile(stream, bytes);
    QVERIFY(DecodePreviewFrame(stream, TFileFormat::RawH264, running).Image.isNull());

    const std::string noise = FFolder->File("noise.mp4");
    std::vector<uint8_t> random(100000);
    uint32_t state = 1;
    for (uint8_t &byte : random) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<uint8_t>(state >> 24);
    }
    WriteFile(noise, random);
    for (TFileFormat format : {TFileFormat::RawH264, TFileFormat::Mp4, TFileFormat::Avi})
        QVERIFY(DecodePreviewFrame(noise, format, running).Image.isNull());
    QVERIFY(DecodePreviewFrame(FFolder->File("missing.mp4"), TFileFormat::Mp4, running).Image.isNull());
    WriteFile(FFolder->File("empty.avi"), {});
    QVERIFY(DecodePreviewFrame(FFolder->File("empty.avi"), TFileFormat::Avi, running).Image.isNull());
}

void TPreviewTest::cancelledDecodeGivesNothing() {
    const std::string clip = FFolder->File("clip.mp4");
    MakeContainer(clip, {Video(176, 144, 4, "1/1")}, "mp4");
    const std::atomic<bool> cancelled{true};
    QVERIFY(DecodePreviewFrame(clip, TFileFormat::Mp4, cancelled).Image.isNull());
}

// A second file opened while the first is decoded: only the second one's picture arrives.
void TPreviewTest::onlyTheLatestRequestIsReported() {
    const std::string small = FFolder->File("small.mp4");
    const std::string large = FFolder->File("large.mp4");
    MakeContainer(small, {Video(176, 144, 4, "1/1")}, "mp4");
    MakeContainer(large, {Video(640, 480, 4, "1/1")}, "mp4");
    TFramePreview preview;
    QSignalSpy decoded(&preview, &TFramePreview::Decoded);
    preview.Request(QString::fromStdString(small), TFileFormat::Mp4);
    preview.Request(QString::fromStdString(large), TFileFormat::Mp4);
    QVERIFY(preview.Busy());
    QTRY_COMPARE_WITH_TIMEOUT(decoded.count(), 1, 20000);
    QVERIFY(!preview.Busy());
    QCOMPARE(decoded.at(0).at(0).value<TPreviewFrame>().Image.size(), QSize(640, 480));
    QTest::qWait(200);
    QCOMPARE(decoded.count(), 1);

    // Cancelled before it ends: nothing at all; and destroyed while decoding, it waits for its thread.
    preview.Request(QString::fromStdString(large), TFileFormat::Mp4);
    preview.Cancel();
    QTest::qWait(500);
    QCOMPARE(decoded.count(), 1);
    auto running = std::make_unique<TFramePreview>();
    running->Request(QString::fromStdString(large), TFileFormat::Mp4);
    running.reset();
}

void TPreviewTest::windowShowsPlaceholderWithoutErrorBox() {
    // One hand-made SPS: a row to list, nothing to decode.
    const std::string stream = FFolder->File("sps-only.h264");
    MakeRawH264(stream, Video(176, 144, 1, "1/1"));
    std::vector<uint8_t> bytes = Bytes(stream);
    bytes.resize(40);
    WriteFile(stream, bytes);

    TWindowUnderTest window;
    TPreviewWidget &preview = *window->pnlPreview;
    QCOMPARE(preview.State(), TPreviewWidget::TState::Empty);
    QVERIFY(DropOnto(*window, {QString::fromStdString(stream)}));
    QCOMPARE(RowCount(*window), 1);
    QTRY_COMPARE_WITH_TIMEOUT(preview.State(), TPreviewWidget::TState::Placeholder, 20000);
    QVERIFY(window.Dialogs.Errors.isEmpty() && window.Dialogs.Messages.isEmpty());
    QVERIFY(preview.NowRect().isEmpty() && preview.AfterRect().isEmpty());
    QVERIFY(preview.isVisible());
    // It is drawn without trouble.
    QVERIFY(!preview.grab().isNull());
}

QTEST_MAIN(TPreviewTest)
#include "PreviewTest.moc"
