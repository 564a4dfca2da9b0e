#include "agent/rynUtil/BCryptMd5.h"

namespace ryn {

namespace {

constexpr ULONG kMd5Size = 16;

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

BCryptMd5::BCryptMd5() {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&m_algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
        m_algorithm = nullptr;
        return;
    }
    // Without a caller buffer BCrypt keeps the hash object's memory itself (Windows 7 on).
    if (!Succeeded(BCryptCreateHash(m_algorithm, &m_hash, nullptr, 0, nullptr, 0, 0))) {
        m_hash = nullptr;
    }
}

BCryptMd5::~BCryptMd5() {
    if (m_hash != nullptr) {
        BCryptDestroyHash(m_hash);
    }
    if (m_algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(m_algorithm, 0);
    }
}

bool BCryptMd5::Update(const unsigned char* data, ULONG size) {
    return valid() && Succeeded(BCryptHashData(m_hash, const_cast<PUCHAR>(data), size, 0));
}

std::string BCryptMd5::Finish() {
    unsigned char digest[kMd5Size];
    if (!valid() || !Succeeded(BCryptFinishHash(m_hash, digest, kMd5Size, 0))) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(digest), kMd5Size);
}

}  // namespace ryn
