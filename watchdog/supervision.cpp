#include "supervision.h"

#include "console.h"
#include "heartbeat.h"
#include "recovery.h"

#include <QDateTime>
#include <QFileInfo>
#include <QtDebug>

namespace
{

const char heartbeatFileName[] = "is_run.txt";
const char stampPattern[] = "HH:mm:ss";

// "Первый запуск, ждем 40 сек\n"
const char firstStartMessage[] = "\xcf\xe5\xf0\xe2\xfb\xe9 \xe7\xe0\xef\xf3\xf1\xea, "
                                 "\xe6\xe4\xe5\xec 40 \xf1\xe5\xea\n";
// "Gorsebright работает нормально\n"
const char worksNormallyMessage[] = "Gorsebright \xf0\xe0\xe1\xee\xf2\xe0\xe5\xf2 "
                                    "\xed\xee\xf0\xec\xe0\xeb\xfc\xed\xee\n";
// "Зависла или не запущена\n"
const char hungMessage[] = "\xc7\xe0\xe2\xe8\xf1\xeb\xe0 \xe8\xeb\xe8 \xed\xe5 "
                           "\xe7\xe0\xef\xf3\xf9\xe5\xed\xe0\n";

} // namespace

QString heartbeatStamp(const QString &fileName)
{
    QFileInfo info(fileName);
    info.refresh();
    QDateTime modified = info.lastModified();
    // Where Gorsebright may be writing a copy of its own, the copy counts
    // once it is newer: a copy left from an older run does no harm.
    const QString copy = virtualizedCopy(fileName);
    if (!copy.isEmpty()) {
        QFileInfo copyInfo(copy);
        copyInfo.refresh();
        const QDateTime copyModified = copyInfo.lastModified();
        if (copyModified.isValid() && (!modified.isValid() || copyModified > modified))
            modified = copyModified;
    }
    // An invalid time (no file, dangling link) formats as an empty string.
    return modified.toString(QString::fromLatin1(stampPattern));
}

Verdict decideVerdict(const QString &currentStamp, const QString &previousStamp, bool firstPass)
{
    if (previousStamp.isEmpty() && firstPass)
        return Verdict::FirstStart;
    if (currentStamp == previousStamp || previousStamp.isEmpty())
        return Verdict::HungOrNotRunning;
    return Verdict::WorksNormally;
}

Verdict superviseOnce(QString &previousStamp, bool firstPass)
{
    const QString currentStamp = heartbeatStamp(QString::fromLatin1(heartbeatFileName));
    const Verdict verdict = decideVerdict(currentStamp, previousStamp, firstPass);
    previousStamp = currentStamp;
    // Gorsebright first, the words after: a console that holds writes (a
    // selection in its window) must not keep it down.
    const Recovery recovery =
        verdict == Verdict::HungOrNotRunning ? recoverWatchedProgram() : Recovery();

    qInfo() << currentStamp;
    switch (verdict) {
    case Verdict::FirstStart:
        writeConsole(firstStartMessage);
        break;
    case Verdict::WorksNormally:
        writeConsole(worksNormallyMessage);
        break;
    case Verdict::HungOrNotRunning:
        writeConsole(hungMessage);
        reportRecovery(recovery);
        break;
    }
    return verdict;
}
