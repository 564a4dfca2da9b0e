#pragma once

#include "tcp/WinTcpTableUtil.h"

// Move-only owner of one TCP table snapshot; releases it with FreeTcpTable.
class CTcpTableHolder {
  public:
    CTcpTableHolder() = default;
    ~CTcpTableHolder() { FreeTcpTable(m_table); }
    CTcpTableHolder(const CTcpTableHolder&) = delete;
    CTcpTableHolder& operator=(const CTcpTableHolder&) = delete;
    CTcpTableHolder(CTcpTableHolder&& other) noexcept : m_table(other.m_table) {
        other.m_table = nullptr;
    }
    CTcpTableHolder& operator=(CTcpTableHolder&& other) noexcept {
        if (this != &other) {
            FreeTcpTable(m_table);
            m_table = other.m_table;
            other.m_table = nullptr;
        }
        return *this;
    }

    // Releases the held table, then takes a new one; false when none could be read.
    bool Refresh() {
        FreeTcpTable(m_table);
        m_table = GetTcpTable();
        return m_table != nullptr;
    }
    const MIB_TCPTABLE_OWNER_PID* get() const { return m_table; }

  private:
    PMIB_TCPTABLE_OWNER_PID m_table = nullptr;
};
