#include "ui/Icons.h"

// The icons live in this static library; naming the resource's initialiser
// keeps the linker from dropping them from the programs that link it.
static void initIconResources() {
    Q_INIT_RESOURCE(tolvane);
}

namespace tolvane::ui {

QIcon clientIcon(const char* name) {
    static const bool loaded = (initIconResources(), true);
    (void)loaded;
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(QString::fromLatin1(name)));
}

} // namespace tolvane::ui
