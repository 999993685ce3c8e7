#include "ui/AboutBox.h"

#include "platform/VersionInfo.h"

namespace vorla {

TAboutText AboutText(const std::string& exeName) {
    TVersionReader versions;
    versions.ExeName = exeName;
    versions.LangId = "0C09";
    versions.Read();
    return {"About", "Vorla", "Version " + versions.FileVersion, "Copyright \xC2\xA9 2026 the Vorla developers",
            "https://vorla.example.org/"};
}

TUrlLink::TClick TUrlLink::LeftButtonPress() const {
    if (m_hasHandler) return TClick::RunHandler;
    return m_webAddress.empty() ? TClick::Nothing : TClick::OpenAddress;
}

}  // namespace vorla
