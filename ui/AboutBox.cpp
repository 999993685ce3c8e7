#include "ui/AboutBox.h"

namespace vorla {

TAboutText AboutText(const std::string& fileVersion) {
    return {"About", "Vorla", "Version " + fileVersion, "Copyright \xC2\xA9 2026 the Vorla developers",
            "https://vorla.example.org/"};
}

TUrlLink::TClick TUrlLink::LeftButtonPress() const {
    if (m_hasHandler) return TClick::RunHandler;
    return m_webAddress.empty() ? TClick::Nothing : TClick::OpenAddress;
}

}  // namespace vorla
