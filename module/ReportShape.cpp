#include "module/ReportShape.h"

#include "host/RynUtil.h"

namespace reportshape {

std::string SignerText(const std::string& signCompany, const std::string& signDate) {
    std::string text;
    if (!signCompany.empty()) {
        text += "SignCompany: " + signCompany;
    }
    if (!signDate.empty()) {
        text += " SignDate: " + signDate;
    }
    return text;
}

std::string PortListText(const std::set<uint16_t>& ports) {
    std::string text;
    for (uint16_t port : ports) {
        text += ryn::CStringUtil::IntToString(port, nullptr, 10);
        text += ",";
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

}  // namespace reportshape
