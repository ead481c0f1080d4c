#include "ScanSession.h"

#include "codec/CodecRegistry.h"

#include <algorithm>

TTrack &TScanSession::AddTrack(int number, std::string label) {
    return Tracks.emplace_back(number, std::move(label));
}

std::vector<std::string> TScanSession::CodecNames() const {
    std::vector<std::string> names;
    for (const TTrack &track : Tracks)
        if (track.Codec != nullptr && std::find(names.begin(), names.end(), track.Codec->Name) == names.end())
            names.emplace_back(track.Codec->Name);
    return names;
}

const TCodec &TScanSession::RatioCodec() const {
    for (size_t row = 0; row < ARInfoList.Count(); ++row)
        if (const TRatioUnit *unit = ARInfoList.Items(row)->Unit)
            return unit->Codec();
    for (const TTrack &track : Tracks)
        if (track.Codec != nullptr && track.Codec->Codec != nullptr)
            return *track.Codec->Codec;
    const TCodecEntry *elementary = ElementaryCodecOf(Format);
    if (elementary != nullptr && elementary->Codec != nullptr)
        return *elementary->Codec;
    return *CodecByKey("h264")->Codec;
}

bool TScanSession::AddNotice(TScanNotice notice) {
    ++NoticeCount;
    if (Notices.size() >= MaxNotices)
        return false;
    Notices.push_back(std::move(notice));
    return true;
}

std::string TScanSession::UnitKey(const TCodec &codec, const std::vector<uint8_t> &bytes, bool complete) {
    std::string key(bytes.begin(), bytes.end());
    key += complete ? 'c' : 'p';
    key += codec.Key();
    return key;
}

const TRatioUnit *TScanSession::FindUnit(const TCodec &codec, const std::vector<uint8_t> &bytes,
                                         bool complete) const {
    auto found = FUnits.find(UnitKey(codec, bytes, complete));
    return found == FUnits.end() ? nullptr : found->second.get();
}

const TRatioUnit *TScanSession::KeepUnit(std::unique_ptr<TRatioUnit> unit) {
    std::string key = UnitKey(unit->Codec(), unit->Bytes(), unit->Complete());
    auto &kept = FUnits[key];
    if (!kept)
        kept = std::move(unit);
    return kept.get();
}

bool TScanSession::FirstAtPlace(int64_t fileOffset, const TRatioUnit *unit) {
    return FListedPlaces.emplace(fileOffset, unit).second;
}

const std::string *TScanSession::KeepReason(const std::string &reason) {
    return &*FReasons.insert(reason).first;
}
