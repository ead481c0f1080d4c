#pragma once

// What the fuzz targets share. The scanners read named files, so each fuzz input is written into one
// temporary file, reused for every input of the run and removed at exit.

#include "scan/uRIFFParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

class FuzzFile {
public:
    // In memory where the system has a memory file system: the file is rewritten for every input.
    FuzzFile() {
        std::error_code error;
        std::filesystem::path folder = std::filesystem::is_directory("/dev/shm", error)
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
        std::string pattern = (folder / "pellmar-fuzz-XXXXXX").string();
        int handle = ::mkstemp(pattern.data());
        if (handle < 0)
            std::abort();
        ::close(handle);
        FPath = pattern;
    }
    ~FuzzFile() { std::remove(FPath.c_str()); }
    FuzzFile(const FuzzFile &) = delete;
    FuzzFile &operator=(const FuzzFile &) = delete;

    // Replaces the file's content with the bytes; returns the file's name.
    const std::string &Write(const uint8_t *data, size_t size) {
        std::FILE *file = std::fopen(FPath.c_str(), "wb");
        if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) ||
            std::fclose(file) != 0)
            std::abort();
        return FPath;
    }

    static FuzzFile &Instance() {
        static FuzzFile file;
        return file;
    }

private:
    std::string FPath;
};

// Stops the run as a finding when a property of a finished scan does not hold.
inline void Require(bool condition) {
    if (!condition)
        std::abort();
}

// What holds after every scan, whatever the input: the kept units are SPS units in file order inside
// the file, and every record stands for one of them, with a usable ratio.
inline void CheckScan(const TParser &parser) {
    int64_t previous = -1;
    for (const auto &unit : parser.NALUnits) {
        Require(unit->NalUnitType() == 7 && unit->SequenceParameterSet != nullptr);
        Require(unit->Position > previous && unit->Position < parser.FileSize);
        Require(unit->SequenceParameterSet->Position == unit->Position + 1);
        previous = unit->Position;
    }
    Require(ARInfoList->Count() <= parser.NALUnits.size());
    for (size_t i = 0; i < ARInfoList->Count(); ++i) {
        const TSequenceParameterSet *sps = ARInfoList->Items(i)->SequenceParameterSet;
        bool kept = false;
        for (const auto &unit : parser.NALUnits)
            kept = kept || unit->SequenceParameterSet.get() == sps;
        Require(kept && sps->HasAspectRatio() && sps->VUIParameters != nullptr);
        Require(sps->VUIParameters->Position > sps->Position &&
                sps->VUIParameters->Position < parser.FileSize);
    }
}
