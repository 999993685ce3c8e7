#include "app/CoreVersion.h"

#include "app/Version.h"
#include "platform/VersionInfo.h"

namespace vorla {

namespace {

// The program's version block, kept in a section of its own file. It sits beside
// GetAppVersion so that every program able to ask for its version carries it: the linker
// takes this object file whenever GetAppVersion is used. Nothing refers to the array:
// "used" keeps the compiler from dropping it, "retain" the linker (with --gc-sections).
#define VORLA_VERSION_VALUE(name, text) "StringFileInfo\\0C0904E4\\" name "\0" text "\0"
[[gnu::section(VORLA_VERSION_SECTION), gnu::used, gnu::retain]] const char kVersionBlock[] =
    VORLA_VERSION_VALUE("CompanyName", VORLA_COMPANY_NAME)
    VORLA_VERSION_VALUE("FileDescription", VORLA_FILE_DESCRIPTION)
    VORLA_VERSION_VALUE("FileVersion", VORLA_VERSION)
    VORLA_VERSION_VALUE("InternalName", VORLA_PROGRAM_FILE)
    VORLA_VERSION_VALUE("LegalCopyright", VORLA_COPYRIGHT)
    VORLA_VERSION_VALUE("OriginalFilename", VORLA_PROGRAM_FILE)
    VORLA_VERSION_VALUE("ProductName", VORLA_PRODUCT_NAME)
    VORLA_VERSION_VALUE("ProductVersion", VORLA_VERSION);  // the array's own NUL ends the block
#undef VORLA_VERSION_VALUE

}  // namespace

std::string GetAppVersion() {
    TVersionReader reader;
    reader.ExeName = "/proc/self/exe";
    reader.LangId = "0C09";
    reader.Read();
    return reader.FileVersion;
}

}  // namespace vorla
