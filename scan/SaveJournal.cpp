#include "SaveJournal.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "base/Sha256.h"

#include <charconv>
#include <sstream>
#include <string_view>

namespace {

constexpr std::string_view FirstLine = "Pellmar save journal 1";
constexpr std::string_view StateKey = "state ";
constexpr std::string_view PendingText = "pending";
constexpr std::string_view DoneText = "done   ";
constexpr std::string_view CheckKey = "check ";

std::string Hex(const std::vector<uint8_t> &bytes) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += Digits[byte >> 4];
        text += Digits[byte & 0x0F];
    }
    return text;
}

// A name or description on one line: backslashes and line breaks escaped.
std::string Escaped(const std::string &text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else if (c == '\r')
            escaped += "\\r";
        else
            escaped += c;
    }
    return escaped;
}

// Reads the journal's lines in order; any deviation from the form JournalText writes is damage.
class TJournalReader {
public:
    TJournalReader(const std::string &text, const std::string &path) : FText(text), FPath(path) {}

    std::string_view Line() {
        const size_t end = FText.find('\n', FAt);
        if (end == std::string_view::npos)
            Damaged("a line is cut off");
        std::string_view line = FText.substr(FAt, end - FAt);
        FAt = end + 1;
        return line;
    }
    // The rest of a line that begins with key.
    std::string_view Field(std::string_view key) {
        std::string_view line = Line();
        if (line.substr(0, key.size()) != key)
            Damaged("no \"" + std::string(key) + "\" where it belongs");
        return line.substr(key.size());
    }
    size_t At() const { return FAt; }
    bool AtEnd() const { return FAt == FText.size(); }

    template <typename TNumber> TNumber Number(std::string_view &text) {
        TNumber value{};
        const size_t end = std::min(text.find(' '), text.size());
        auto [stop, error] = std::from_chars(text.data(), text.data() + end, value);
        if (error != std::errc() || stop != text.data() + end || end == 0)
            Damaged("a number is malformed");
        text.remove_prefix(std::min(end + 1, text.size()));
        return value;
    }
    std::vector<uint8_t> Bytes(std::string_view &text) {
        const size_t end = std::min(text.find(' '), text.size());
        if (end % 2 != 0 || end == 0)
            Damaged("bytes are malformed");
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < end; i += 2) {
            uint8_t byte = 0;
            auto [stop, error] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
            if (error != std::errc() || stop != text.data() + i + 2)
                Damaged("bytes are malformed");
            bytes.push_back(byte);
        }
        text.remove_prefix(std::min(end + 1, text.size()));
        return bytes;
    }
    std::string Unescaped(std::string_view text) {
        std::string plain;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\\') {
                plain += text[i];
                continue;
            }
            const char next = i + 1 < text.size() ? text[++i] : '\0';
            if (next == '\\')
                plain += '\\';
            else if (next == 'n')
                plain += '\n';
            else if (next == 'r')
                plain += '\r';
            else
                Damaged("an escape is malformed");
        }
        return plain;
    }

    [[noreturn]] void Damaged(const std::string &what) const {
        throw Exception(Format(SJournalDamaged, FPath, what));
    }

private:
    std::string_view FText;
    const std::string &FPath;
    size_t FAt = 0;
};

// What the check covers: the text without its state line's state.
std::string CheckedPart(std::string_view text, size_t checkAt) {
    const size_t stateAt = JournalStateOffset();
    std::string checked(text.substr(0, stateAt));
    checked += text.substr(stateAt + PendingText.size(), checkAt - stateAt - PendingText.size());
    return checked;
}

} // namespace

std::string TSaveJournal::OldBytesHash() const {
    TSha256 hash;
    for (const TJournalPlace &place : Places)
        hash.Add(place.Old);
    return HexDigest(hash.Finish());
}

bool TSaveJournal::IsOf(const TFileIdentity &identity) const {
    return Identity.Device == identity.Device && Identity.Node == identity.Node &&
           Identity.Size == identity.Size;
}

size_t JournalStateOffset() {
    return FirstLine.size() + 1 + StateKey.size();
}

std::string JournalStateText(TJournalState state) {
    return std::string(state == TJournalState::Done ? DoneText : PendingText);
}

std::string JournalText(const TSaveJournal &journal) {
    std::ostringstream text;
    text << FirstLine << '\n'
         << StateKey << JournalStateText(journal.State) << '\n'
         << "file " << Escaped(journal.FileName) << '\n'
         << "identity " << journal.Identity.Device << ' ' << journal.Identity.Node << ' '
         << journal.Identity.Size << ' ' << journal.Identity.Modified << '\n'
         << "time " << journal.Time << '\n'
         << "old-bytes-sha256 " << journal.OldBytesHash() << '\n'
         << "places " << journal.Places.size() << '\n';
    for (const TJournalPlace &place : journal.Places)
        text << "place " << place.Offset << ' ' << Hex(place.Old) << ' ' << Hex(place.New) << ' '
             << Escaped(place.What) << '\n';
    std::string body = text.str();
    const std::string check = Sha256Hex(CheckedPart(body, body.size()));
    return body + std::string(CheckKey) + check + '\n';
}

TSaveJournal ParseJournal(const std::string &text, const std::string &path) {
    TJournalReader reader(text, path);
    if (reader.Line() != FirstLine)
        reader.Damaged("it does not begin as a journal");
    TSaveJournal journal;
    const std::string_view state = reader.Field(StateKey);
    if (state == PendingText)
        journal.State = TJournalState::Pending;
    else if (state == DoneText)
        journal.State = TJournalState::Done;
    else
        reader.Damaged("its state is unknown");
    journal.FileName = reader.Unescaped(reader.Field("file "));
    std::string_view identity = reader.Field("identity ");
    journal.Identity.Device = reader.Number<uint64_t>(identity);
    journal.Identity.Node = reader.Number<uint64_t>(identity);
    journal.Identity.Size = reader.Number<int64_t>(identity);
    journal.Identity.Modified = reader.Number<int64_t>(identity);
    std::string_view time = reader.Field("time ");
    journal.Time = reader.Number<int64_t>(time);
    const std::string oldHash(reader.Field("old-bytes-sha256 "));
    std::string_view count = reader.Field("places ");
    const size_t places = reader.Number<size_t>(count);
    // Each place takes a line of at least 12 characters: a count beyond that is damage, not memory to ask.
    if (places > text.size() / 12)
        reader.Damaged("it counts more places than it holds");
    for (size_t i = 0; i < places; ++i) {
        std::string_view line = reader.Field("place ");
        TJournalPlace place;
        place.Offset = reader.Number<int64_t>(line);
        place.Old = reader.Bytes(line);
        place.New = reader.Bytes(line);
        place.What = reader.Unescaped(line);
        if (place.Offset < 0 || place.Old.size() != place.New.size())
            reader.Damaged("a place is malformed");
        journal.Places.push_back(std::move(place));
    }
    const size_t checkAt = reader.At();
    const std::string_view check = reader.Field(CheckKey);
    if (!reader.AtEnd())
        reader.Damaged("something follows its end");
    if (check != Sha256Hex(CheckedPart(text, checkAt)))
        reader.Damaged("its check sum does not match");
    if (oldHash != journal.OldBytesHash())
        reader.Damaged("the hash of its old bytes does not match");
    return journal;
}
