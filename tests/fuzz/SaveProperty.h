#pragma once

// The whole-program property of a save, for any file a fuzzer makes: after a save the scan accepted,
// the file has its length, every byte outside the planned places is as it was, every start code,
// emulation-prevention byte and unit end of the file (of each unit, in a transport stream) is where it
// was, and a new scan lists the new values at the same places. A refused save changes nothing.

#include "FuzzSupport.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "h264/uH264.h"
#include "scan/Scanner.h"
#include "scan/TSParser.h"

#include <functional>
#include <memory>
#include <set>
#include <vector>

// Where a 00 00 0x with x up to 3 begins: start codes, the zeros before them, and emulation prevention.
inline std::vector<size_t> ZeroRuns(const std::vector<uint8_t> &bytes) {
    std::vector<size_t> found;
    for (size_t i = 0; i + 2 < bytes.size(); ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] <= 3)
            found.push_back(i);
    return found;
}

// Where a start code (00 00 01) begins: where the units of MPEG video, which has no emulation prevention,
// begin and end.
inline std::vector<size_t> StartCodes(const std::vector<uint8_t> &bytes) {
    std::vector<size_t> found;
    for (size_t i = 0; i + 2 < bytes.size(); ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1)
            found.push_back(i);
    return found;
}

// A stream over bytes in memory that counts the calls a scan makes to read it: each is work, and the work
// of a scan is bounded by the file's bytes, never by the counts its structures declare.
class TReadCountingStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    void ReadBuffer(void *buffer, size_t count) override {
        ++Reads;
        TMemoryStream::ReadBuffer(buffer, count);
    }
    TLentBytes Lend(int64_t offset, size_t count, size_t headRoom) override {
        ++Reads;
        return TMemoryStream::Lend(offset, count, headRoom);
    }
    int64_t Reads = 0;
};

// Scans the bytes from memory with the scanner their content calls for (the AVI scanner's question is
// answered yes); what a failing scan found before its error stays. The scan reads at most a few times per
// byte of the file.
inline std::unique_ptr<TScanSession> ScanForSave(const std::vector<uint8_t> &bytes) {
    auto session = std::make_unique<TScanSession>();
    TReadCountingStream stream(bytes);
    if (std::unique_ptr<TParser> parser = CreateParser(DetectFormat(stream), *session)) {
        parser->Events.OnForeignHandler = [](const std::string &) { return true; };
        try {
            parser->Scan(stream);
        } catch (const Exception &) {
        }
    }
    Require(stream.Reads <= 8 * static_cast<int64_t>(bytes.size()) + 256);
    return session;
}

// Gives every row a new ratio, saves into a copy of the bytes, and checks the property. Mostly the change
// goes through TRatioChange as the programs give it (a predefined code 1..16, the SAR width:height or the
// DAR width:height at each row's size, as the bits of code choose); with the top bit of code set, code and
// width:height go into every SPS row as they are, kind or not, for the refusals to be tried. Returns the
// bytes as the save left them, and in movedElements whether the save moved elements to make room.
inline std::vector<uint8_t> CheckSave(const std::vector<uint8_t> &bytes, uint8_t code, uint16_t width,
                                      uint16_t height, bool *movedElements = nullptr) {
    std::unique_ptr<TScanSession> session = ScanForSave(bytes);
    TARInfoList &rows = session->ARInfoList;
    // What a scan keeps grows with the file's bytes, never with how often its structures point at them:
    // every row stands for its own place (or its own content at a place).
    Require(rows.Count() <= bytes.size());
    TRatioChange change;
    change.Kind = (code & 0x40) != 0   ? TRatioChange::TKind::Dar
                  : (code & 0x20) != 0 ? TRatioChange::TKind::Sar
                                       : TRatioChange::TKind::Predefined;
    change.Code = static_cast<uint8_t>(1 + code % 16);
    change.Ratio = {width, height};
    for (size_t i = 0; i < rows.Count(); ++i) {
        TARInfo &row = *rows.Items(i);
        if ((code & 0x80) == 0) {
            change.ApplyTo(row);
        } else if (!row.IsContainerRow()) {
            row.NewAspectRatioIdc = code;
            row.NewSarWidth = code == 255 ? width : PredefinedSarWidth(code);
            row.NewSarHeight = code == 255 ? height : PredefinedSarHeight(code);
        }
    }
    std::vector<bool> changed(rows.Count());
    for (size_t i = 0; i < rows.Count(); ++i)
        changed[i] = rows.Items(i)->IsChanged() && rows.Items(i)->KeepsKind();
    TPatchPlan plan = rows.PlanChanges();
    std::set<size_t> planned, nearContainer;
    for (const TPlanEntry &entry : plan.Entries)
        for (const TPatch &patch : entry.Patches) {
            Require(patch.Old.size() == patch.New.size() && patch.FileOffset >= 0);
            for (int64_t at = patch.FileOffset; at < patch.End(); ++at)
                planned.insert(static_cast<size_t>(at));
            if (entry.Kind == TPlanEntry::TKind::Container)
                for (int64_t at = patch.FileOffset - 2; at < patch.End(); ++at)
                    nearContainer.insert(static_cast<size_t>(at));
        }
    TMemoryStream copy(bytes);
    const bool refused = !plan.Check(copy).empty();
    try {
        plan.Apply(copy);
        Require(!refused);
    } catch (const Exception &) {
        // Memory never fails a write: only a refusal stops the save.
        Require(refused);
    }
    const std::vector<uint8_t> &after = copy.Bytes();
    Require(after.size() == bytes.size());
    if (refused) {
        Require(after == bytes);
        return after;
    }
    for (size_t i = 0; i < bytes.size(); ++i)
        Require(after[i] == bytes[i] || planned.count(i) == 1);
    auto outsideContainers = [&](std::vector<size_t> runs) {
        std::erase_if(runs, [&](size_t at) { return nearContainer.count(at) == 1; });
        return runs;
    };
    // In a byte stream the zero runs are where units begin and end: none may come or go (of MPEG video,
    // which has no emulation prevention, the start codes). Where units follow their lengths, what a unit
    // holds is what counts: inside each, none may come or go.
    const bool startCodesOnly = session->RatioCodec().Framing() == TUnitFraming::StartCodes;
    auto runs = [startCodesOnly](const std::vector<uint8_t> &of) {
        return startCodesOnly ? StartCodes(of) : ZeroRuns(of);
    };
    const bool byteStream = session->Format != TFileFormat::Mp4 && session->Format != TFileFormat::Matroska &&
                            session->Format != TFileFormat::WebM;
    const bool inPackets = TsPacketStride(session->Format) != 0 || session->Format == TFileFormat::MpegPs;
    if (!inPackets) {
        if (byteStream)
            Require(outsideContainers(runs(bytes)) == outsideContainers(runs(after)));
    } else {
        // In a transport or program stream the units are cut into packets: their zero runs are those of
        // each unit's own bytes, read through its placement (the file's bytes around a cut are packet
        // headers).
        for (size_t i = 0; i < rows.Count(); ++i) {
            const TARInfo &row = *rows.Items(i);
            if (row.Unit == nullptr)
                continue;
            std::vector<uint8_t> unitBefore, unitAfter;
            for (size_t k = 0; k < row.Unit->Bytes().size(); ++k) {
                const auto at = static_cast<size_t>(row.Placement.FileOffset(static_cast<int64_t>(k)));
                unitBefore.push_back(bytes[at]);
                unitAfter.push_back(after[at]);
            }
            Require(runs(unitBefore) == runs(unitAfter));
        }
    }

    // Scanned again, every row is where it was (or, where the save moved elements to make room, in the
    // same order), with the values written.
    const bool moved = !session->Outdated.empty();
    if (movedElements != nullptr)
        *movedElements = moved;
    std::unique_ptr<TScanSession> again = ScanForSave(after);
    Require(again->ARInfoList.Count() == rows.Count());
    for (size_t i = 0; i < rows.Count(); ++i) {
        const TARInfo &before = *rows.Items(i);
        const TARInfo &now = *again->ARInfoList.Items(i);
        Require(moved || (now.SpsOffset() == before.SpsOffset() && now.VuiOffset() == before.VuiOffset()));
        if (!byteStream && now.Unit != nullptr && !moved) {
            // The unit's bytes where its placement puts them (in pieces, for a unit split across packets
            // or behind a stripped header).
            std::vector<uint8_t> old;
            for (size_t k = 0; k < now.Unit->Bytes().size(); ++k)
                old.push_back(bytes[static_cast<size_t>(now.Placement.FileOffset(static_cast<int64_t>(k)))]);
            Require(runs(old) == runs(now.Unit->Bytes()));
        }
        Require(!before.IsChanged());
        Require(now.SarText() == before.SarText() &&
                now.EffectiveAspectRatioIdc() == before.EffectiveAspectRatioIdc());
        if (changed[i])
            Require(before.EffectiveAspectRatioIdc() == before.NewAspectRatioIdc);
    }
    // Every container statement reads back, at its place, as the save said it left it.
    Require(again->Tracks.size() == session->Tracks.size());
    for (size_t t = 0; t < session->Tracks.size(); ++t) {
        const TTrack &saved = session->Tracks[t];
        const TTrack &read = again->Tracks[t];
        Require(read.Statements.size() == saved.Statements.size());
        for (size_t k = 0; k < saved.Statements.size(); ++k) {
            const TContainerStatement &was = *saved.Statements[k];
            const TContainerStatement &now = *read.Statements[k];
            const TRatio wasSar = was.SampleAspectRatio(), nowSar = now.SampleAspectRatio();
            const TRatio wasDar = was.DisplayAspectRatio(), nowDar = now.DisplayAspectRatio();
            Require(moved || now.FileOffset() == was.FileOffset());
            Require(nowSar.X == wasSar.X && nowSar.Y == wasSar.Y && nowDar.X == wasDar.X &&
                    nowDar.Y == wasDar.Y);
        }
    }
    return after;
}
