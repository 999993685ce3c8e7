// vorla message / vorla import: message files from the command line.
#include <exception>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/Commands.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/Errors.h"
#include "platform/Files.h"

namespace vorla {
namespace {

struct TParsedArgs {
    std::vector<std::string> operands;
    bool display = false;
};

// Operands and the one option a command knows; "--" ends the options, so a file named "-x"
// can still be given.
TParsedArgs ParseArgs(const std::vector<std::string>& args, bool allowDisplay) {
    TParsedArgs parsed;
    bool optionsEnded = false;
    for (const std::string& a : args) {
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && allowDisplay && a == "--display") {
            parsed.display = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            throw TUsageError{"unknown option '" + a + "'"};
        } else {
            parsed.operands.push_back(a);
        }
    }
    return parsed;
}

}  // namespace

int MessageCommand(TCliContext& ctx) {
    const TParsedArgs parsed = ParseArgs(ctx.args, true);
    if (parsed.operands.size() != 1) throw TUsageError{"expects one message file"};
    // Read first: a missing or unreadable file is reported with the system's reason.
    const std::string text = ReadFileBytes(parsed.operands[0]);
    std::string output;
    if (parsed.display) {
        output = MessageDisplayText(text);
    } else {
        TMailMessage message;
        message.LoadMode = TLoadMode::Raw;
        message.LoadFromText(text);
        output = message.SaveToText();
    }
    ctx.out.write(output.data(), static_cast<std::streamsize>(output.size()));
    ctx.out.flush();
    return ctx.out ? 0 : 1;
}

int ImportCommand(TCliContext& ctx) {
    const TParsedArgs parsed = ParseArgs(ctx.args, false);
    if (parsed.operands.size() < 2) throw TUsageError{"expects a message folder and at least one mail file"};
    const std::string& folder = parsed.operands[0];
    if (FileExists(folder)) throw TFileError("'" + folder + "' is a file, not a message folder");

    // Every mail file is read and parsed before the folder is touched, so an unreadable one
    // leaves the folder as it was.
    std::vector<std::unique_ptr<TMailMessage>> messages;
    for (std::size_t i = 1; i < parsed.operands.size(); ++i) {
        auto message = std::make_unique<TMailMessage>();
        message->LoadMode = TLoadMode::Raw;
        message->LoadFromMailText(ReadFileBytes(parsed.operands[i]));
        messages.push_back(std::move(message));
    }

    TZivadMessageCollection collection(folder);
    std::scoped_lock lock(collection.Lock());  // the whole import is one operation on the folder
    const int before = collection.Count();
    std::vector<std::string> names;
    try {
        for (auto& message : messages) {
            TZivadMessageItem& item = collection.AddMessage(*message, "");
            item.Release();
            names.push_back(item.FileName());
        }
    } catch (const std::exception&) {
        // Take back what this import added, newest first, so the folder holds all or none.
        for (int i = collection.Count() - 1; i >= before; --i) {
            try {
                collection.Delete(i);
            } catch (const std::exception&) {
                // The original failure is the one to report.
            }
        }
        throw;
    }
    for (const std::string& name : names) ctx.out << name << "\n";
    ctx.out.flush();
    return ctx.out ? 0 : 1;
}

}  // namespace vorla
