#include "engine/AccountTls.h"

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "platform/SecretCommand.h"

namespace vorla {

TTlsOptions AccountTlsOptions(const TZivadAccount& account) {
    TTlsOptions options;
    options.verifyPeer = account.Settings()->verifycert;
    const TZivadAccounts* list = account.Owner();
    const TZivad* engine = list ? list->Owner() : nullptr;
    options.trustedCa = engine ? engine->TrustedCa()
                               : TIniFile(ReplaceExtension(ProgramFilePath(), ".exe", ".ini"))
                                     .ReadString(TZivad::kOptionsSection, TZivad::kTrustedCaKey, "");
    if (!options.trustedCa.empty() && options.trustedCa.front() != '/')
        options.trustedCa = IncludeTrailingSlash(HomeFolder()) + options.trustedCa;
    return options;
}

std::string LoginSecret(const std::string& stored, const std::string& command, const TZivadAccount& account) {
    if (command.empty()) return stored;
    return TSecretCommand::Run(command, TSecretCommand::kDefaultTimeout,
                               [&account] { return account.StopRequested(); });
}

}  // namespace vorla
