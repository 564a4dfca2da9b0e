#include <windows.h>

#include <climits>

#include "host/RynUtil.h"

namespace ryn {

namespace {

// Lengths are passed explicitly, so embedded NULs survive and "" stays "". A second
// call that converts another length than the first one measured gives "", never a
// text cut short or padded with NULs.
std::wstring ToWide(UINT codePage, const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) {
        return std::wstring();
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], length) != length) {
        return std::wstring();
    }
    return wide;
}

std::string FromWide(UINT codePage, DWORD flags, const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX) {
        return std::string();
    }
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return std::string();
    }
    std::string narrow(static_cast<size_t>(length), '\0');
    if (WideCharToMultiByte(codePage, flags, text.data(), size, &narrow[0], length, nullptr,
                            nullptr) != length) {
        return std::string();
    }
    return narrow;
}

}  // namespace

std::string CStringUtil::s2s_utf8(const std::string& text) {
    return FromWide(CP_UTF8, 0, ToWide(CP_ACP, text));
}

std::wstring CStringUtil::s2ws(const std::string& text) { return ToWide(CP_ACP, text); }

std::string CStringUtil::ws2s(const std::wstring& text) { return FromWide(CP_ACP, 0, text); }

std::string CStringUtil::ws2s_utf8(const std::wstring& text) { return FromWide(CP_UTF8, 0, text); }

std::string CStringUtil::ws2s_utf8_exact(const std::wstring& text) {
    return FromWide(CP_UTF8, WC_ERR_INVALID_CHARS, text);
}

std::wstring CStringUtil::utf8_2ws(const std::string& text) { return ToWide(CP_UTF8, text); }

std::string CStringUtil::IntToString(int64_t value, bool* ok, int base) {
    if (ok != nullptr) {
        *ok = base >= 2 && base <= 36;
    }
    if (base < 2 || base > 36) {
        return std::string();
    }
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    const bool negative = value < 0;
    // Unsigned negation keeps INT64_MIN exact.
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[magnitude % static_cast<uint64_t>(base)]);
        magnitude /= static_cast<uint64_t>(base);
    } while (magnitude != 0);
    return negative ? "-" + digits : digits;
}

}  // namespace ryn
