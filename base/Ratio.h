#pragma once

// Ratios of whole numbers: sample and display aspect ratios, their reduction, their relation at a picture
// size, and the nearest ratio or whole size that fits given limits.

#include <cstdint>
#include <string>
#include <utility>

// Greatest common divisor; 0 when either argument is 0.
int32_t Gcd(int32_t a, int32_t b);
int64_t Gcd(int64_t a, int64_t b);

// A ratio x:y reduced by its greatest common divisor; 0:0 when a term is 0 (it has no reduced form).
struct TRatio {
    int64_t X = 0;
    int64_t Y = 0;
};
TRatio ReduceRatio(int64_t x, int64_t y);
// "16:9", as every message and list shows a ratio.
std::string RatioText(int64_t x, int64_t y);
std::string RatioText(TRatio ratio);
// Both terms above 0.
bool IsRatio(TRatio ratio);
// The display aspect ratio of a picture of width x height samples with sample aspect ratio sarX:sarY,
// and the sample aspect ratio that gives a display aspect ratio at that size; products in 64 bits.
TRatio DarFromSar(int64_t sarX, int64_t sarY, int64_t width, int64_t height);
TRatio SarFromDar(int64_t darX, int64_t darY, int64_t width, int64_t height);
// The ratio nearest to x:y whose terms do not exceed maxTerm: x:y reduced when it fits, else the closest
// ratio of smaller terms; 0:0 when x or y is below 1 or maxTerm below 1.
TRatio NearestRatio(int64_t x, int64_t y, int64_t maxTerm);
// A size in whole units (width, height) whose ratio is exactly ratio, near reference (a picture or display
// size): reference's height kept where the ratio allows, else its width, else both scaled; no term above
// maxTerm. 0 x 0 when none fits (a term of the reduced ratio above maxTerm, or a term below 1).
std::pair<int64_t, int64_t> WholeSizeFor(TRatio ratio, std::pair<int64_t, int64_t> reference,
                                         int64_t maxTerm);
