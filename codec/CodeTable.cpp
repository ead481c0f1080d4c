#include "CodeTable.h"

#include <cmath>

uint8_t NearestCodeWithin(const TCodec &codec, TRatio sar, int64_t width, int64_t height, double share) {
    if (sar.X < 1 || sar.Y < 1)
        return 0;
    const double wanted = static_cast<double>(sar.X) / static_cast<double>(sar.Y);
    uint8_t best = 0;
    double bestDistance = share;
    for (uint8_t code : codec.PredefinedCodes()) {
        const TRatio stated = codec.SarOfCode(code, width, height);
        if (stated.X < 1 || stated.Y < 1)
            continue;
        const double distance =
            std::fabs(static_cast<double>(stated.X) / static_cast<double>(stated.Y) / wanted - 1.0);
        if (distance <= bestDistance) {
            best = code;
            bestDistance = distance;
        }
    }
    return best;
}
