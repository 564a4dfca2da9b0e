#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "host/RynUtil.h"
#include "module/KorvaProcInterface.h"
#include "module/ProcParserList.h"
#include "module/ReportShape.h"
#include "module/Singleton.h"
#include "module/TcpConnectParserInterface.h"

// The single implementation of the exported interface: one collection pass per
// Start, on a worker thread of its own.
class CKorvaProcInterfaceImp : public CKorvaProcInterface,
                               public ryn::CThreadUtil,
                               public CSingleton<CKorvaProcInterfaceImp> {
  public:
    CKorvaProcInterfaceImp();
    ~CKorvaProcInterfaceImp() override;

    int Start(const std::string& cmdIdx, const std::string& triggerType) override;
    void Stop() override;

    // The report's port list text, under the name its callers know.
    static std::string FormatPortList(const std::set<uint16_t>& ports) {
        return reportshape::PortListText(ports);
    }

  protected:
    void run() override;

  private:
    void ClearPassState();
    void InitProcParsers(const ryn::ProcessIdMap& processes);
    void SendProcessListReport();

    std::atomic<bool> m_stop;
    CTcpConnectParserInterface* m_tcpParser;
    ProcParserList m_procParsers;
    std::string m_cmdIdx;
    std::string m_triggerType;
    int64_t m_scanTime;
};
