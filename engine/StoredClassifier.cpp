#include "engine/StoredClassifier.h"

#include "engine/FetchCyclePrivate.h"
#include "engine/ZivadAccount.h"
#include "filters/ReverseDns.h"
#include "filters/ZivadFilters.h"
#include "mail/MessageStore.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"

namespace vorla {

TStoredClassifier::TStoredClassifier(std::function<void(const std::string&)> statusLine)
    : m_reverseDns(std::make_unique<TReverseDns>()) {
    const std::string program = ProgramFilePath();
    m_global = std::make_unique<TZivadFilters>(ReplaceExtension(program, ".exe", ".fil"));
    m_global->LoadSettings(TIniFile(ReplaceExtension(program, ".exe", ".ini")));
    TReverseDnsReport report;
    if (statusLine) report.addStatus = std::move(statusLine);
    m_reverseDns->SetReport(std::move(report));
}

TStoredClassifier::~TStoredClassifier() = default;

TClassification TStoredClassifier::Classify(TZivadAccount& account, const std::string& fileText) {
    const TClassifyAccount inputs = ClassifyInputsOf(account, *account.Settings());
    TClassifyEngine engine;
    engine.globalRules = m_global.get();
    engine.reverseDns = m_reverseDns.get();
    const std::string text = MessageDisplayText(fileText);
    return ClassifyMessage(inputs, engine, text, static_cast<std::int64_t>(text.size()), false);
}

}  // namespace vorla
