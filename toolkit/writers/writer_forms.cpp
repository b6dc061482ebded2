// Carrying out a writer plan: the shortcut first (copy/shortcut.h decides
// whether it is tried), the walk when it declines.
#include "toolkit/writers/special_writers.h"

namespace relamor {

void CarryOutWriter(const WriterForms& forms, const TablePlan& plan, TableCopyIo& io) {
  if (forms.shortcut != nullptr &&
      TryShortcut(io.strategy, io.shortcuts, forms.shortcut_name,
                  [&] { return forms.shortcut(plan, io); })) {
    return;
  }
  forms.walk(plan, io);
}

}  // namespace relamor
