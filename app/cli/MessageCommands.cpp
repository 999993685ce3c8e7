#include "app/cli/Commands.h"

namespace vorla {

int MessageCommand(TCliContext& ctx) {
    throw TUsageError{"not built yet"};
    (void)ctx;
}

int ImportCommand(TCliContext& ctx) {
    throw TUsageError{"not built yet"};
    (void)ctx;
}

}  // namespace vorla
