#pragma once

// One decoded picture of a video file for the preview, made with FFmpeg's libraries on a thread of its
// own. Only the desktop program decodes: the core and the command-line program never link a decoder.

#include "base/FileFormat.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QThread;

// What the decoder made of a file: a picture, or none (a null Image) when the file can not be decoded.
struct TPreviewFrame {
    // The picture with one pixel per sample (cropped as the SPS says, not stretched to any aspect ratio).
    QImage Image;
    // The sample aspect ratio libavformat reports for the picture (the container's, else the stream's),
    // 0:0 when it reports none.
    int SarWidth = 0;
    int SarHeight = 0;
};

// Whether this build decodes previews (it is made without FFmpeg's libraries otherwise).
bool PreviewAvailable();

// Decodes a key frame near the middle of the file: a seek by the file's index (AVI, MP4, Matroska) or,
// where there is none (raw streams, transport streams), to the middle byte; from the start when that finds
// no picture. Reads a bounded amount of the file whatever its size, and returns soon after cancel becomes
// true. Never raises: every failure gives a frame without picture.
TPreviewFrame DecodePreviewFrame(const std::string &fileName, TFileFormat format,
                                 const std::atomic<bool> &cancel);

// Runs DecodePreviewFrame off the window's thread, for the latest file asked for: a new request cancels
// the one running, and only the latest one's picture is reported (on the thread of this object).
class TFramePreview : public QObject {
    Q_OBJECT
public:
    explicit TFramePreview(QObject *parent = nullptr);
    // Cancels what runs and waits for it.
    ~TFramePreview() override;

    void Request(const QString &fileName, TFileFormat format);
    void Cancel();
    // Whether a decode for the latest request is still running.
    bool Busy() const { return FBusy; }

signals:
    void Decoded(const TPreviewFrame &frame);

private:
    struct TJob {
        QThread *Thread = nullptr;
        std::shared_ptr<std::atomic<bool>> Cancelled;
    };
    std::vector<TJob> FJobs;
    uint64_t FLatest = 0;
    bool FBusy = false;
};
