#include "ScanSession.h"

TTrack &TScanSession::AddTrack(int number, std::string label) {
    return Tracks.emplace_back(number, std::move(label));
}

bool TScanSession::AddNotice(TScanNotice notice) {
    ++NoticeCount;
    if (Notices.size() >= MaxNotices)
        return false;
    Notices.push_back(std::move(notice));
    return true;
}

std::string TScanSession::UnitKey(const std::vector<uint8_t> &bytes, bool complete) {
    std::string key(bytes.begin(), bytes.end());
    key += complete ? 'c' : 'p';
    return key;
}

const TNALUnit *TScanSession::FindUnit(const std::vector<uint8_t> &bytes, bool complete) const {
    auto found = FUnits.find(UnitKey(bytes, complete));
    return found == FUnits.end() ? nullptr : found->second.get();
}

const TNALUnit *TScanSession::KeepUnit(std::unique_ptr<TNALUnit> unit) {
    std::string key = UnitKey(unit->Bytes, unit->Complete);
    auto &kept = FUnits[key];
    if (!kept)
        kept = std::move(unit);
    return kept.get();
}

bool TScanSession::FirstAtPlace(int64_t fileOffset, const TNALUnit *unit) {
    return FListedPlaces.emplace(fileOffset, unit).second;
}

const std::string *TScanSession::KeepReason(const std::string &reason) {
    return &*FReasons.insert(reason).first;
}
