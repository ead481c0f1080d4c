#pragma once

// Real media files made with ffmpeg (libx264 for H.264, libx265 for HEVC, and the other codecs' encoders),
// and what ffmpeg's own tools report about them.
// Every function raises std::runtime_error, with the tool's messages, when a tool fails.

#include <string>
#include <vector>

// One video stream to encode: a test pattern of the given size and length.
struct VideoSpec {
    int width = 176;
    int height = 144;
    int frames = 10; // at 25 frames per second
    // Sample aspect ratio as "w/h", e.g. "12/11" (predefined) or "64/45" (custom); empty writes a VUI
    // without aspect-ratio information.
    std::string sar;
    std::string encoder =
        "libx264";       // "libx265", "mpeg2video", "mpeg4", "libvpx-vp9", "libaom-av1", "mjpeg" ...
    std::string profile; // libx264 profile: "baseline", "main", "high", "high10", "high422", ...
    std::string pixFmt = "yuv420p";
    bool interlaced = false;           // field-coded (frame_mbs_only_flag 0)
    bool repeatHeaders = false;        // an SPS and a PPS (and for HEVC a VPS) in front of every key frame
    bool accessUnitDelimiters = false; // an access unit delimiter opens every frame
    int keyint = 0;                    // greatest distance between key frames; 0 leaves the encoder's default
    // The codec tag: the handler code of an AVI stream header ("XVID", "HEVC"), or the MP4 sample entry
    // ("hvc1", "hev1").
    std::string tag;
    // More options of libx264 or libx265 ("key=value:key=value"), after those above; for ffmpeg's own
    // encoders (mpeg2video, ...), more ffmpeg options of the output ("-seq_disp_ext:v:0 always").
    std::string encoderParams;
};

// Ten frames at width x height with the SAR given (as VideoSpec::sar); with repeatHeaders an SPS in front
// of every fifth frame.
VideoSpec Clip(int width, int height, const std::string &sar, bool repeatHeaders = false);

// Runs a command line that writes a media file to %OUT% (ffmpeg, mkvmerge, ...), once per build: the
// result is kept in the build's media folder under a name drawn from the command line, and every later
// call, in this process or another, copies it to path.
void MakeFromRecipe(const std::string &recipe, const std::string &path);

// A raw Annex B elementary stream.
void MakeRawH264(const std::string &path, const VideoSpec &video);
// An elementary stream of the video's encoder in ffmpeg's raw muxer ("h264", "hevc", "mpeg2video",
// "mpeg1video", "m4v").
void MakeElementaryStream(const std::string &path, const VideoSpec &video, const std::string &muxer);

// A file of the muxer's format (ffmpeg's -f: "mp4", "mov", "3gp", "matroska", "mpegts", ...) holding the
// video streams in the given order and, when audioCodec is given ("aac", "ac3", "pcm_s16le"), a sine
// tone in that codec; muxerOptions go to the output (for example "-movflags +faststart").
void MakeContainer(const std::string &path, const std::vector<VideoSpec> &videos, const std::string &muxer,
                   const std::string &audioCodec = "", const std::string &muxerOptions = "");

// An AVI file holding the video streams in the given order (their data chunks are 00dc, 01dc, ...), and,
// when pcmAudio is true, a 16-bit PCM audio stream numbered after them whose chunks are interleaved
// between the video chunks.
void MakeAvi(const std::string &path, const std::vector<VideoSpec> &videos, bool pcmAudio = false);

// How the video streams go into a transport stream: their PIDs are 0x100, 0x101, ... in order.
struct TsSpec {
    bool m2ts = false;             // 192-byte packets with a time code in front (-mpegts_m2ts_mode 1)
    bool ac3Audio = false;         // an AC-3 audio stream after the video streams
    bool programPerStream = false; // each video stream in a program of its own (the audio in the first)
};

// A transport stream holding the video streams.
void MakeTransportStream(const std::string &path, const std::vector<VideoSpec> &videos,
                         const TsSpec &ts = {});

// What ffprobe reports for one video stream. A missing SAR reads 0:1.
struct ProbedVideo {
    int width = 0; // cropped picture size
    int height = 0;
    int sarWidth = 0;
    int sarHeight = 0;
    int darWidth = 0; // display aspect ratio, 0:1 when ffprobe names none
    int darHeight = 0;
};

// The stream as the container describes it (for AVI the SAR comes from the vprp chunk, not the SPS).
ProbedVideo ProbeVideo(const std::string &path, int videoIndex = 0);
// The H.264, HEVC or MPEG-4 Part 2 bitstream of video stream videoIndex, copied out of the container into
// a raw stream, so the SAR comes from the SPS or VOL.
ProbedVideo ProbeVideoBitstream(const std::string &path, int videoIndex = 0);
// The sample aspect ratio of every frame as ffmpeg's decoder gives it ("12:11"), in decoding order.
std::vector<std::string> DecodedFrameSars(const std::string &path, int videoIndex = 0);

// One SPS NAL unit as ffmpeg's trace_headers bitstream filter decodes it, H.264's or HEVC's. -1 for fields
// not present.
struct TracedSps {
    int profileIdc = -1;        // HEVC: general_profile_idc
    int seqParameterSetId = -1; // HEVC: sps_seq_parameter_set_id
    int chromaFormatIdc = -1;
    int bitDepthLumaMinus8 = -1;
    int scalingListDataPresent = -1; // HEVC: sps_scaling_list_data_present_flag
    int videoFormat = -1;            // without a video signal type, -1
    int overscanAppropriate = -1;    // without overscan information, -1
    int aspectRatioInfoPresent = -1; // -1 without VUI
    int aspectRatioBitPosition = -1; // of aspect_ratio_idc, in the unit without emulation prevention,
                                     // counted from the first bit of the NAL unit header
    int aspectRatioIdc = -1;         // -1 without VUI or without aspect-ratio information
    int sarWidth = -1;               // only for aspect_ratio_idc 255
    int sarHeight = -1;
};

// Every SPS in the data of video stream videoIndex, in file order. Parameter sets that the demuxer also
// copies into the stream's global header are counted once, where they lie in the data; withExtradata
// counts the global header's too (MP4 and Matroska keep their decoder configuration there only).
std::vector<TracedSps> TraceSps(const std::string &path, int videoIndex = 0, bool withExtradata = false);

// One MPEG-1 or MPEG-2 video sequence header as trace_headers decodes it, with its extensions; -1 for
// fields not present.
struct TracedSequenceHeader {
    int aspectRatioInformation = -1;
    bool hasSequenceExtension = false;
    int displayWidth = -1; // of the sequence display extension
    int displayHeight = -1;
};

// Every sequence header in the data of video stream videoIndex, in file order, counted as TraceSps counts.
std::vector<TracedSequenceHeader> TraceSequenceHeaders(const std::string &path, int videoIndex = 0,
                                                       bool withExtradata = false);

// The MD5 of every decoded frame of every stream, one line per frame, in order. The header of the
// framemd5 output (which names the SAR) is left out, so only the decoded pictures and sound count.
std::vector<std::string> FrameMd5(const std::string &path);

// Whether ffmpeg and ffprobe are there, with libx264.
bool HaveMediaTools();
// HaveMediaTools, and ffmpeg has that encoder too ("libvpx-vp9", "libaom-av1", ...).
bool HaveEncoder(const std::string &encoder);
// HaveMediaTools, and ffmpeg has libx265 too.
bool HaveHevcTools();
