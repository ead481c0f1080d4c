#include "MediaFiles.h"

#include "TestFiles.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace {

CommandResult RunChecked(const std::string &commandLine) {
    CommandResult result = RunCommand(commandLine);
    if (result.exitCode != 0)
        throw std::runtime_error("command failed (" + std::to_string(result.exitCode) + "): " + commandLine +
                                 "\n" + result.errors);
    return result;
}

const std::string FFmpeg = "ffmpeg -hide_banner -nostdin -nostats -loglevel error -y";

// The lavfi input of one test pattern, with its SAR set in the filter chain.
std::string PatternInput(const VideoSpec &video) {
    std::ostringstream graph;
    graph << "testsrc=size=" << video.width << "x" << video.height
          << ":rate=25:duration=" << video.frames / 25.0
          << ",setsar=" << (video.sar.empty() ? "0" : video.sar);
    return " -f lavfi -i " + ShellQuote(graph.str());
}

// Options joined as libx264's and libx265's -x26N-params take them.
std::string JoinParams(const std::vector<std::string> &params) {
    std::string joined;
    for (const std::string &param : params)
        if (!param.empty())
            joined += (joined.empty() ? "" : ":") + param;
    return joined;
}

// The encoder options of output video stream index.
std::string EncoderOptions(const VideoSpec &video, int index) {
    std::string stream = ":v:" + std::to_string(index) + " ";
    std::string options = " -c" + stream + video.encoder + " -pix_fmt" + stream + video.pixFmt;
    if (video.encoder == "libx264") {
        options += " -preset" + stream + "veryfast";
        if (!video.profile.empty())
            options += " -profile" + stream + video.profile;
        std::vector<std::string> params;
        if (video.interlaced)
            params.push_back("tff=1");
        if (video.repeatHeaders)
            params.push_back("repeat-headers=1");
        if (video.accessUnitDelimiters)
            params.push_back("aud=1");
        if (video.keyint > 0)
            params.push_back("keyint=" + std::to_string(video.keyint));
        params.push_back(video.encoderParams);
        const std::string joined = JoinParams(params);
        if (!joined.empty())
            options += " -x264-params" + stream + joined;
    }
    if (video.encoder == "libx265") {
        // x265 writes the SAR of the filter chain's frames into the VUI, as x264 does.
        std::vector<std::string> params{"log-level=error"};
        if (video.repeatHeaders)
            params.push_back("repeat-headers=1");
        if (video.accessUnitDelimiters)
            params.push_back("aud=1");
        if (video.keyint > 0)
            params.push_back("keyint=" + std::to_string(video.keyint));
        params.push_back(video.encoderParams);
        options += " -preset" + stream + "ultrafast -x265-params" + stream + ShellQuote(JoinParams(params));
    }
    // The fastest settings of the other encoders: only the container's statement matters in their files.
    if (video.encoder == "libvpx" || video.encoder == "libvpx-vp9")
        options += " -deadline" + stream + "realtime -cpu-used" + stream + "8";
    if (video.encoder == "libaom-av1")
        options += " -usage" + stream + "realtime -cpu-used" + stream + "8";
    if ((video.encoder == "mpeg2video" || video.encoder == "mpeg1video" || video.encoder == "mpeg4" ||
         video.encoder == "libxvid") &&
        video.keyint > 0)
        options += " -g" + stream + std::to_string(video.keyint);
    if (video.encoder.rfind("lib", 0) != 0 && !video.encoderParams.empty())
        options += " " + video.encoderParams;
    if (!video.tag.empty())
        options += " -tag" + stream + video.tag;
    return options;
}

// "a:b" as two numbers; 0:1 for anything else ("N/A" when there is none).
void ParseRatio(const std::string &text, int &x, int &y) {
    x = 0;
    y = 1;
    std::smatch match;
    if (std::regex_match(text, match, std::regex(R"((\d+):(\d+))"))) {
        x = std::stoi(match[1]);
        y = std::stoi(match[2]);
    }
}

} // namespace

ProbedVideo ProbeVideo(const std::string &path, int videoIndex) {
    CommandResult result = RunChecked(
        "ffprobe -v error -select_streams v:" + std::to_string(videoIndex) +
        " -show_entries stream=width,height,sample_aspect_ratio,display_aspect_ratio -of default=nw=1 " +
        ShellQuote(path));
    ProbedVideo probed;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "width")
            probed.width = std::stoi(value);
        else if (key == "height")
            probed.height = std::stoi(value);
        else if (key == "sample_aspect_ratio")
            ParseRatio(value, probed.sarWidth, probed.sarHeight);
        else if (key == "display_aspect_ratio")
            ParseRatio(value, probed.darWidth, probed.darHeight);
    }
    if (probed.width == 0)
        throw std::runtime_error("ffprobe found no video stream " + std::to_string(videoIndex) + " in " +
                                 path);
    return probed;
}

void MakeFromRecipe(const std::string &recipe, const std::string &path) {
    const std::string placeholder = "%OUT%";
    const size_t at = recipe.find(placeholder);
    if (at == std::string::npos)
        throw std::invalid_argument("a recipe names its output %OUT%: " + recipe);
    const std::filesystem::path folder = PELLMAR_TEST_MEDIA;
    char key[32];
    std::snprintf(key, sizeof key, "%016zx", std::hash<std::string>{}(recipe));
    const std::filesystem::path cached = folder / (std::string(key) + ".media");
    if (!std::filesystem::exists(cached)) {
        std::filesystem::create_directories(folder);
        // Made under a name of this process and then renamed, so that processes making the same file at
        // once never see a half-written one.
        const std::filesystem::path part =
            folder / (std::string(key) + "." + std::to_string(::getpid()) + ".part");
        std::string command = recipe;
        command.replace(at, placeholder.size(), ShellQuote(part.string()));
        RunChecked(command);
        std::filesystem::rename(part, cached);
    }
    std::filesystem::copy_file(cached, path, std::filesystem::copy_options::overwrite_existing);
}

void MakeRawH264(const std::string &path, const VideoSpec &video) {
    MakeElementaryStream(path, video, "h264");
}

void MakeElementaryStream(const std::string &path, const VideoSpec &video, const std::string &muxer) {
    MakeFromRecipe(FFmpeg + PatternInput(video) + EncoderOptions(video, 0) + " -f " + muxer + " %OUT%", path);
}

void MakeContainer(const std::string &path, const std::vector<VideoSpec> &videos, const std::string &muxer,
                   const std::string &audioCodec, const std::string &muxerOptions) {
    std::string inputs, maps, options;
    double seconds = 0;
    for (size_t i = 0; i < videos.size(); ++i) {
        inputs += PatternInput(videos[i]);
        maps += " -map " + std::to_string(i) + ":v";
        options += EncoderOptions(videos[i], static_cast<int>(i));
        seconds = std::max(seconds, videos[i].frames / 25.0);
    }
    if (!audioCodec.empty()) {
        // AC-3 takes 32, 44.1 and 48 kHz only; PCM stays small at 8 kHz.
        const char *rate = audioCodec == "pcm_s16le" ? "8000" : "48000";
        inputs += " -f lavfi -i " + ShellQuote(std::string("sine=sample_rate=") + rate +
                                               ":duration=" + std::to_string(seconds));
        maps += " -map " + std::to_string(videos.size()) + ":a";
        options += " -c:a " + audioCodec;
    }
    MakeFromRecipe(FFmpeg + inputs + maps + options + " " + muxerOptions + " -f " + muxer + " %OUT%", path);
}

void MakeAvi(const std::string &path, const std::vector<VideoSpec> &videos, bool pcmAudio) {
    MakeContainer(path, videos, "avi", pcmAudio ? "pcm_s16le" : "");
}

void MakeTransportStream(const std::string &path, const std::vector<VideoSpec> &videos, const TsSpec &ts) {
    std::string options;
    if (ts.programPerStream)
        for (size_t i = 0; i < videos.size(); ++i) {
            options += " -program title=p" + std::to_string(i) + ":st=" + std::to_string(i);
            if (i == 0 && ts.ac3Audio)
                options += ":st=" + std::to_string(videos.size());
        }
    if (ts.m2ts)
        options += " -mpegts_m2ts_mode 1";
    MakeContainer(path, videos, "mpegts", ts.ac3Audio ? "ac3" : "", options);
}

ProbedVideo ProbeVideoBitstream(const std::string &path, int videoIndex) {
    CommandResult codec =
        RunChecked("ffprobe -v error -select_streams v:" + std::to_string(videoIndex) +
                   " -show_entries stream=codec_name -of default=nw=1:nk=1 " + ShellQuote(path));
    const std::string muxer = codec.output.rfind("hevc", 0) == 0    ? "hevc"
                              : codec.output.rfind("mpeg4", 0) == 0 ? "m4v"
                                                                    : "h264";
    TempDir scratch;
    std::string raw = scratch.File("stream." + muxer);
    // The raw MPEG-4 Part 2 muxer writes no global header: dump_extra puts it ahead of the key frames.
    const std::string filter = muxer == "m4v" ? " -bsf:v dump_extra" : "";
    RunChecked(FFmpeg + " -i " + ShellQuote(path) + " -map 0:v:" + std::to_string(videoIndex) + " -c copy" +
               filter + " -f " + muxer + " " + ShellQuote(raw));
    return ProbeVideo(raw, 0);
}

std::vector<std::string> DecodedFrameSars(const std::string &path, int videoIndex) {
    CommandResult frames =
        RunChecked("ffprobe -v error -select_streams v:" + std::to_string(videoIndex) +
                   " -show_entries frame=sample_aspect_ratio -of csv=p=0 " + ShellQuote(path));
    std::vector<std::string> sars;
    std::istringstream lines(frames.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            sars.push_back(line);
    return sars;
}

namespace {

// Runs trace_headers over video stream videoIndex and hands on every field of the units whose heading is
// one of units (a unit goes on over the headings of its parts, such as "Extension Data", until the next
// heading of units or a packet): the unit's number in file order, the field's bit position, name and value.
// Parameter sets that the demuxer also copies into the stream's global header are counted once, where they
// lie in the data; withExtradata counts the global header's too.
void TraceUnits(const std::string &path, int videoIndex, bool withExtradata,
                const std::set<std::string> &units, const std::set<std::string> &parts,
                const std::function<void(size_t unit, int bit, const std::string &name, int value)> &field) {
    CommandResult result =
        RunChecked("ffmpeg -hide_banner -nostdin -nostats -loglevel repeat+info -i " + ShellQuote(path) +
                   " -map 0:v:" + std::to_string(videoIndex) + " -c copy -bsf:v trace_headers -f null -");
    // Lines of the filter: "[trace_headers @ 0x...] Sequence Parameter Set" opens a unit, and inside it
    // "[trace_headers @ 0x...] <bit>   <name>   <bits> = <value>" gives a field.
    const std::regex unitLine(R"(^\[trace_headers @ [^\]]*\] ([A-Za-z][^=]*)$)");
    const std::regex fieldLine(R"(^\[trace_headers @ [^\]]*\] +(\d+) +(\w+) +[01]+ = (-?\d+)$)");
    bool inPackets = false, inUnit = false;
    size_t count = 0;
    std::istringstream lines(result.errors);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, match, unitLine)) {
            std::string unit = match[1];
            if (unit.rfind("Packet:", 0) == 0 || (withExtradata && unit == "Extradata"))
                inPackets = true;
            if (inPackets && units.count(unit) != 0) {
                inUnit = true;
                ++count;
            } else if (parts.count(unit) == 0) {
                inUnit = false;
            }
        } else if (inUnit && std::regex_match(line, match, fieldLine)) {
            field(count - 1, std::stoi(match[1]), match[2], std::stoi(match[3]));
        }
    }
}

} // namespace

std::vector<TracedSps> TraceSps(const std::string &path, int videoIndex, bool withExtradata) {
    std::vector<TracedSps> found;
    TraceUnits(path, videoIndex, withExtradata, {"Sequence Parameter Set"}, {},
               [&](size_t unit, int bit, const std::string &name, int value) {
                   if (found.size() <= unit)
                       found.resize(unit + 1);
                   TracedSps &sps = found[unit];
                   // H.264 and HEVC name their fields alike; where they do not, the HEVC name comes second.
                   if (name == "profile_idc" || name == "general_profile_idc")
                       sps.profileIdc = value;
                   else if (name == "seq_parameter_set_id" || name == "sps_seq_parameter_set_id")
                       sps.seqParameterSetId = value;
                   else if (name == "chroma_format_idc")
                       sps.chromaFormatIdc = value;
                   else if (name == "bit_depth_luma_minus8")
                       sps.bitDepthLumaMinus8 = value;
                   else if (name == "sps_scaling_list_data_present_flag")
                       sps.scalingListDataPresent = value;
                   else if (name == "video_format")
                       sps.videoFormat = value;
                   else if (name == "overscan_appropriate_flag")
                       sps.overscanAppropriate = value;
                   else if (name == "aspect_ratio_info_present_flag")
                       sps.aspectRatioInfoPresent = value;
                   else if (name == "aspect_ratio_idc") {
                       sps.aspectRatioIdc = value;
                       sps.aspectRatioBitPosition = bit;
                   } else if (name == "sar_width")
                       sps.sarWidth = value;
                   else if (name == "sar_height")
                       sps.sarHeight = value;
               });
    return found;
}

std::vector<TracedSequenceHeader> TraceSequenceHeaders(const std::string &path, int videoIndex,
                                                       bool withExtradata) {
    std::vector<TracedSequenceHeader> found;
    TraceUnits(path, videoIndex, withExtradata, {"Sequence Header"},
               {"Extension Data", "Sequence Extension", "Sequence Display Extension", "User Data"},
               [&](size_t unit, int, const std::string &name, int value) {
                   if (found.size() <= unit)
                       found.resize(unit + 1);
                   TracedSequenceHeader &header = found[unit];
                   if (name == "aspect_ratio_information")
                       header.aspectRatioInformation = value;
                   else if (name == "profile_and_level_indication")
                       header.hasSequenceExtension = true;
                   else if (name == "display_horizontal_size")
                       header.displayWidth = value;
                   else if (name == "display_vertical_size")
                       header.displayHeight = value;
               });
    return found;
}

std::vector<std::string> FrameMd5(const std::string &path) {
    CommandResult result = RunChecked(FFmpeg + " -i " + ShellQuote(path) + " -map 0 -f framemd5 -");
    std::vector<std::string> frames;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line[0] != '#')
            frames.push_back(line);
    return frames;
}

bool HaveMediaTools() {
    return HaveTool("ffmpeg") && HaveTool("ffprobe") &&
           RunCommand("ffmpeg -hide_banner -encoders").output.find("libx264") != std::string::npos;
}

bool HaveEncoder(const std::string &encoder) {
    return HaveMediaTools() &&
           RunCommand("ffmpeg -hide_banner -encoders").output.find(" " + encoder + " ") != std::string::npos;
}

bool HaveHevcTools() {
    return HaveMediaTools() &&
           RunCommand("ffmpeg -hide_banner -encoders").output.find("libx265") != std::string::npos;
}

VideoSpec Clip(int width, int height, const std::string &sar, bool repeatHeaders) {
    VideoSpec video;
    video.width = width;
    video.height = height;
    video.sar = sar;
    video.frames = 10;
    video.repeatHeaders = repeatHeaders;
    video.keyint = repeatHeaders ? 5 : 0;
    return video;
}
