// The save journal's reader on arbitrary text, and on journals made from the input and then damaged at
// one byte: it reads a whole journal back as it was written, and raises Exception for anything else.

#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "base/Exceptions.h"
#include "scan/SaveJournal.h"

#include <string>

namespace {

bool SameJournal(const TSaveJournal &a, const TSaveJournal &b) {
    if (a.State != b.State || a.FileName != b.FileName || a.Time != b.Time || a.Places.size() != b.Places.size() ||
        a.Identity.Device != b.Identity.Device || a.Identity.Node != b.Identity.Node ||
        a.Identity.Size != b.Identity.Size || a.Identity.Modified != b.Identity.Modified)
        return false;
    for (size_t i = 0; i < a.Places.size(); ++i)
        if (a.Places[i].Offset != b.Places[i].Offset || a.Places[i].Old != b.Places[i].Old ||
            a.Places[i].New != b.Places[i].New || a.Places[i].What != b.Places[i].What)
            return false;
    return true;
}

std::string Text(FuzzInput &in, size_t most) {
    std::string text;
    const size_t length = in.Byte() % (most + 1);
    for (size_t i = 0; i < length && !in.Empty(); ++i)
        text += static_cast<char>(in.Byte());
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    if (in.Flag()) {
        // Arbitrary text behind the mode byte: a journal only if it reads back the same once written again.
        const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
        try {
            const TSaveJournal journal = ParseJournal(text, "fuzz");
            Require(SameJournal(ParseJournal(JournalText(journal), "fuzz"), journal));
        } catch (const Exception &) {
        }
        return 0;
    }
    TSaveJournal journal;
    journal.State = in.Flag() ? TJournalState::Done : TJournalState::Pending;
    journal.FileName = Text(in, 40);
    journal.Identity = {static_cast<int64_t>(in.Long()), static_cast<int64_t>(in.Long()) << 16, in.Long(),
                        uint64_t{in.Long()} << 24};
    journal.Time = static_cast<int64_t>(in.Long());
    const size_t places = in.Byte() % 6;
    for (size_t i = 0; i < places; ++i) {
        TJournalPlace place;
        place.Offset = static_cast<int64_t>(uint64_t{in.Long()} << (in.Byte() % 31));
        const size_t count = 1 + in.Byte() % 8;
        place.Old = in.Bytes(count);
        place.New = in.Bytes(count);
        place.Old.resize(count);
        place.New.resize(count);
        place.What = Text(in, 20);
        journal.Places.push_back(place);
    }
    const std::string text = JournalText(journal);
    Require(SameJournal(ParseJournal(text, "fuzz"), journal));

    // One byte changed, or the text cut: damage, unless the change is a state the journal may take.
    std::string damaged = text;
    const size_t at = in.Long() % text.size();
    if (in.Flag()) {
        damaged.resize(at);
    } else {
        damaged[at] = static_cast<char>(in.Byte());
        if (damaged == text)
            return 0;
    }
    try {
        const TSaveJournal read = ParseJournal(damaged, "fuzz");
        const size_t state = JournalStateOffset();
        Require(at >= state && at < state + JournalStateText(TJournalState::Pending).size());
        TSaveJournal other = journal;
        other.State = journal.State == TJournalState::Done ? TJournalState::Pending : TJournalState::Done;
        Require(SameJournal(read, other));
    } catch (const Exception &) {
    }
    return 0;
}
