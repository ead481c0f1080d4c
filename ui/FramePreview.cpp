#include "FramePreview.h"

#include "base/FormatFacts.h"

#include <QFile>
#include <QThread>

#include <algorithm>

#ifdef PELLMAR_PREVIEW
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <mutex>
#endif

#ifdef PELLMAR_PREVIEW

namespace {

// FFmpeg's demuxer for an elementary stream the scan recognised; null for containers, which it finds
// itself.
const char *RawStreamDemuxer(TFileFormat kind) {
    switch (kind) {
    case TFileFormat::RawH264:
        return "h264";
    case TFileFormat::RawHevc:
        return "hevc";
    case TFileFormat::RawMpegVideo:
        return "mpegvideo";
    case TFileFormat::RawMpeg4Visual:
        return "m4v";
    default:
        return nullptr;
    }
}

// What one step may read of the file: opening it (a large MP4's index may lie at its end), and each try
// to decode a picture. So a file of any size costs the same few reads.
constexpr int64_t OpenBudget = 64 << 20;
constexpr int64_t DecodeBudget = 32 << 20;
constexpr int MaxPackets = 4000;
// Larger pictures are scaled down to this many pixels on their longer side.
constexpr int MaxPictureSide = 4096;
constexpr int IoBufferSize = 64 << 10;

// The file as libavformat reads it: every read counts against the step's budget, and a cancelled
// request or a spent budget ends the read (AVERROR_EXIT), wherever libavformat is.
struct TBudgetedFile {
    QFile File;
    int64_t Budget = 0;
    const std::atomic<bool> *Cancel = nullptr;
};

int ReadPacket(void *opaque, uint8_t *buffer, int size) {
    auto &file = *static_cast<TBudgetedFile *>(opaque);
    if (file.Cancel->load() || file.Budget <= 0)
        return AVERROR_EXIT;
    const qint64 read = file.File.read(reinterpret_cast<char *>(buffer), size);
    if (read < 0)
        return AVERROR(EIO);
    if (read == 0)
        return AVERROR_EOF;
    file.Budget -= read;
    return static_cast<int>(read);
}

int64_t SeekFile(void *opaque, int64_t offset, int whence) {
    auto &file = *static_cast<TBudgetedFile *>(opaque);
    if (whence == AVSEEK_SIZE)
        return file.File.size();
    int64_t target = offset;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        target += file.File.pos();
        break;
    case SEEK_END:
        target += file.File.size();
        break;
    default:
        return -1;
    }
    return target >= 0 && file.File.seek(target) ? target : -1;
}

struct TFormatCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
struct TIoFreer {
    void operator()(AVIOContext *io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct TCodecFreer {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct TPacketFreer {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct TFrameFreer {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct TScalerFreer {
    void operator()(SwsContext *scaler) const { sws_freeContext(scaler); }
};

void SeekToMiddle(AVFormatContext &format, int stream, TFileFormat kind) {
    if (FormatFactsOf(kind).PreviewSeek == TPreviewSeek::ByByte) {
        const int64_t size = avio_size(format.pb);
        if (size > 0)
            av_seek_frame(&format, stream, size / 2, AVSEEK_FLAG_BYTE);
        return;
    }
    if (format.duration == AV_NOPTS_VALUE || format.duration <= 0)
        return;
    const int64_t start = format.start_time == AV_NOPTS_VALUE ? 0 : format.start_time;
    // The key frame at or before the middle, found in the file's index.
    av_seek_frame(&format, -1, start + format.duration / 2, AVSEEK_FLAG_BACKWARD);
}

void SeekToStart(AVFormatContext &format, int stream, TFileFormat kind) {
    if (FormatFactsOf(kind).PreviewSeek == TPreviewSeek::ByByte)
        av_seek_frame(&format, stream, 0, AVSEEK_FLAG_BYTE);
    else
        av_seek_frame(&format, -1, format.start_time == AV_NOPTS_VALUE ? 0 : format.start_time,
                      AVSEEK_FLAG_BACKWARD);
}

// The first picture the decoder gives from the next key frame of the stream on, within the budget.
bool DecodeFromKeyFrame(AVFormatContext &format, AVCodecContext &codec, int stream, AVFrame &frame,
                        const std::atomic<bool> &cancel) {
    avcodec_flush_buffers(&codec);
    std::unique_ptr<AVPacket, TPacketFreer> packet(av_packet_alloc());
    if (!packet)
        return false;
    bool keySeen = false;
    for (int packets = 0; packets < MaxPackets && !cancel.load(); ++packets) {
        if (av_read_frame(&format, packet.get()) < 0)
            break; // the end, an error or the budget spent: what the decoder holds is drained below
        const bool take =
            packet->stream_index == stream && (keySeen || (packet->flags & AV_PKT_FLAG_KEY) != 0);
        if (take) {
            keySeen = true;
            const int sent = avcodec_send_packet(&codec, packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN))
                continue; // a damaged packet: the next may decode
            if (avcodec_receive_frame(&codec, &frame) == 0)
                return true;
        } else {
            av_packet_unref(packet.get());
        }
    }
    if (!keySeen || cancel.load())
        return false;
    avcodec_send_packet(&codec, nullptr);
    return avcodec_receive_frame(&codec, &frame) == 0;
}

QImage ToImage(const AVFrame &frame) {
    if (frame.width <= 0 || frame.height <= 0 || frame.format < 0)
        return {};
    const double scale =
        std::min(1.0, static_cast<double>(MaxPictureSide) / std::max(frame.width, frame.height));
    const int width = std::max(1, static_cast<int>(frame.width * scale));
    const int height = std::max(1, static_cast<int>(frame.height * scale));
    std::unique_ptr<SwsContext, TScalerFreer> scaler(
        sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), width, height,
                       AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scaler)
        return {};
    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull())
        return {};
    uint8_t *target[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int targetStride[4] = {static_cast<int>(image.bytesPerLine()), 0, 0, 0};
    if (sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, target, targetStride) != height)
        return {};
    return image;
}

TPreviewFrame Decode(const std::string &fileName, TFileFormat kind, const std::atomic<bool> &cancel) {
    // The decoder's complaints about damaged data would go to the terminal; a damaged file shows no
    // picture instead.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

    TBudgetedFile file;
    file.File.setFileName(QString::fromStdString(fileName));
    file.Cancel = &cancel;
    file.Budget = OpenBudget;
    if (!file.File.open(QIODevice::ReadOnly))
        return {};
    auto *buffer = static_cast<unsigned char *>(av_malloc(IoBufferSize));
    if (buffer == nullptr)
        return {};
    std::unique_ptr<AVIOContext, TIoFreer> io(
        avio_alloc_context(buffer, IoBufferSize, 0, &file, ReadPacket, nullptr, SeekFile));
    if (!io) {
        av_free(buffer);
        return {};
    }
    AVFormatContext *opened = avformat_alloc_context();
    if (opened == nullptr)
        return {};
    opened->pb = io.get();
    opened->flags |= AVFMT_FLAG_CUSTOM_IO;
    // A raw stream is named, so that a stream in a file named .bin is read as what the scan found.
    const char *demuxer = RawStreamDemuxer(kind);
    const AVInputFormat *input = demuxer != nullptr ? av_find_input_format(demuxer) : nullptr;
    if (avformat_open_input(&opened, nullptr, input, nullptr) < 0)
        return {}; // frees the context
    std::unique_ptr<AVFormatContext, TFormatCloser> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return {};
    const AVCodec *decoder = nullptr;
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream < 0 || decoder == nullptr)
        return {};
    std::unique_ptr<AVCodecContext, TCodecFreer> codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), format->streams[stream]->codecpar) < 0)
        return {};
    // One thread: the picture comes out after the packets that hold it, not after several more.
    codec->thread_count = 1;
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return {};
    std::unique_ptr<AVFrame, TFrameFreer> frame(av_frame_alloc());
    if (!frame)
        return {};

    file.Budget = DecodeBudget;
    SeekToMiddle(*format, stream, kind);
    bool decoded = DecodeFromKeyFrame(*format, *codec, stream, *frame, cancel);
    if (!decoded && !cancel.load()) {
        file.Budget = DecodeBudget;
        SeekToStart(*format, stream, kind);
        decoded = DecodeFromKeyFrame(*format, *codec, stream, *frame, cancel);
    }
    if (!decoded || cancel.load())
        return {};
    TPreviewFrame result;
    result.Image = ToImage(*frame);
    const AVRational sar = av_guess_sample_aspect_ratio(format.get(), format->streams[stream], frame.get());
    if (sar.num > 0 && sar.den > 0) {
        result.SarWidth = sar.num;
        result.SarHeight = sar.den;
    }
    return result;
}

} // namespace

bool PreviewAvailable() {
    return true;
}

TPreviewFrame DecodePreviewFrame(const std::string &fileName, TFileFormat format,
                                 const std::atomic<bool> &cancel) {
    try {
        return Decode(fileName, format, cancel);
    } catch (...) { // an allocation that failed: no picture, as for any other failure
        return {};
    }
}

#else

bool PreviewAvailable() {
    return false;
}

TPreviewFrame DecodePreviewFrame(const std::string &, TFileFormat, const std::atomic<bool> &) {
    return {};
}

#endif

TFramePreview::TFramePreview(QObject *parent) : QObject(parent) {}

TFramePreview::~TFramePreview() {
    for (TJob &job : FJobs)
        job.Cancelled->store(true);
    for (TJob &job : FJobs) {
        job.Thread->wait();
        delete job.Thread;
    }
}

void TFramePreview::Request(const QString &fileName, TFileFormat format) {
    Cancel();
    const uint64_t request = FLatest;
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    QThread *thread = QThread::create([this, request, cancelled, name = fileName.toStdString(), format] {
        TPreviewFrame frame = DecodePreviewFrame(name, format, *cancelled);
        if (cancelled->load())
            return;
        // Delivered on this object's thread; dropped there when a newer request came meanwhile, and by Qt
        // when this object is gone.
        QMetaObject::invokeMethod(
            this,
            [this, request, frame = std::move(frame)] {
                if (request != FLatest)
                    return;
                FBusy = false;
                emit Decoded(frame);
            },
            Qt::QueuedConnection);
    });
    FJobs.push_back({thread, cancelled});
    connect(thread, &QThread::finished, this, [this, thread] {
        std::erase_if(FJobs, [thread](const TJob &job) { return job.Thread == thread; });
        thread->deleteLater();
    });
    FBusy = true;
    thread->start(QThread::LowPriority);
}

void TFramePreview::Cancel() {
    for (TJob &job : FJobs)
        job.Cancelled->store(true);
    ++FLatest;
    FBusy = false;
}
