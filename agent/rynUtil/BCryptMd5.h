#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <string>

namespace ryn {

// An MD5 computation through BCrypt; owns the provider and the hash object and
// releases both on every path.
class BCryptMd5 {
  public:
    BCryptMd5();
    ~BCryptMd5();
    BCryptMd5(const BCryptMd5&) = delete;
    BCryptMd5& operator=(const BCryptMd5&) = delete;

    // False when the provider or the hash could not be created.
    bool valid() const { return m_hash != nullptr; }
    bool Update(const unsigned char* data, ULONG size);
    // The 16 digest bytes; "" on failure.
    std::string Finish();

  private:
    BCRYPT_ALG_HANDLE m_algorithm = nullptr;
    BCRYPT_HASH_HANDLE m_hash = nullptr;
};

}  // namespace ryn
