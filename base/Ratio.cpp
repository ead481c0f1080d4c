#include "Ratio.h"

#include <algorithm>
#include <cmath>

namespace {

template <typename T> T GcdOf(T a, T b) {
    if (a == 0 || b == 0)
        return 0;
    for (;;) {
        T r = a % b;
        a = b;
        b = r;
        if (r == 0)
            return a;
    }
}

} // namespace

int32_t Gcd(int32_t a, int32_t b) {
    return GcdOf(a, b);
}
int64_t Gcd(int64_t a, int64_t b) {
    return GcdOf(a, b);
}

TRatio ReduceRatio(int64_t x, int64_t y) {
    int64_t g = Gcd(x, y);
    if (g == 0)
        return {};
    return {x / g, y / g};
}

std::string RatioText(int64_t x, int64_t y) {
    return std::to_string(x) + ":" + std::to_string(y);
}

std::string RatioText(TRatio ratio) {
    return RatioText(ratio.X, ratio.Y);
}

bool IsRatio(TRatio ratio) {
    return ratio.X > 0 && ratio.Y > 0;
}

TRatio DarFromSar(int64_t sarX, int64_t sarY, int64_t width, int64_t height) {
    return ReduceRatio(sarX * width, sarY * height);
}

TRatio SarFromDar(int64_t darX, int64_t darY, int64_t width, int64_t height) {
    return ReduceRatio(darX * height, darY * width);
}

// The convergents of x:y's continued fraction, up to the last whose terms fit; then the best ratio between
// it and the next, whichever of the two lies closer (a best approximation has one of these forms).
TRatio NearestRatio(int64_t x, int64_t y, int64_t maxTerm) {
    const TRatio reduced = ReduceRatio(x, y);
    if (reduced.X < 1 || reduced.Y < 1 || maxTerm < 1)
        return {};
    if (reduced.X <= maxTerm && reduced.Y <= maxTerm)
        return reduced;
    int64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0; // the convergents before this step
    int64_t a = reduced.X, b = reduced.Y;
    for (;;) {
        const int64_t t = a / b;
        // How many times the last convergent can be added before a term passes maxTerm.
        const int64_t room = std::min(p1 > 0 ? (maxTerm - p0) / p1 : t, q1 > 0 ? (maxTerm - q0) / q1 : t);
        if (t > room) {
            const TRatio between{room * p1 + p0, room * q1 + q0};
            const TRatio last{p1, q1};
            auto distance = [&](TRatio r) {
                return std::fabs(static_cast<long double>(r.X) / static_cast<long double>(r.Y) -
                                 static_cast<long double>(reduced.X) / static_cast<long double>(reduced.Y));
            };
            const bool lastUsable = last.X >= 1 && last.Y >= 1;
            const bool betweenUsable = room >= 1 && between.X >= 1 && between.Y >= 1;
            if (lastUsable && (!betweenUsable || distance(last) <= distance(between)))
                return ReduceRatio(last.X, last.Y);
            return betweenUsable ? ReduceRatio(between.X, between.Y) : TRatio{};
        }
        const int64_t p2 = t * p1 + p0, q2 = t * q1 + q0;
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        const int64_t rest = a - t * b;
        a = b;
        b = rest; // never 0 here: the reduced ratio itself does not fit
    }
}

std::pair<int64_t, int64_t> WholeSizeFor(TRatio ratio, std::pair<int64_t, int64_t> reference,
                                         int64_t maxTerm) {
    const TRatio r = ReduceRatio(ratio.X, ratio.Y);
    if (r.X < 1 || r.Y < 1 || r.X > maxTerm || r.Y > maxTerm)
        return {0, 0};
    const auto [width, height] = reference;
    if (height > 0 && height % r.Y == 0 && height / r.Y <= maxTerm / r.X)
        return {height / r.Y * r.X, height};
    if (width > 0 && width % r.X == 0 && width / r.X <= maxTerm / r.Y)
        return {width, width / r.X * r.Y};
    // Both scaled: the multiple whose height lies nearest the reference's (or width, without a height).
    int64_t scale = height > 0 ? (height + r.Y / 2) / r.Y : width > 0 ? (width + r.X / 2) / r.X : 1;
    scale = std::clamp<int64_t>(scale, 1, maxTerm / std::max(r.X, r.Y));
    return {r.X * scale, r.Y * scale};
}
