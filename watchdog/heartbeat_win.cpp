#include "heartbeat.h"

#include <QDir>
#include <QtDebug>
#include <initializer_list>
#include <shlobj.h>
#include <windows.h>

namespace
{

QString knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    QString folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)))
        folder = QDir(QString::fromWCharArray(path)).canonicalPath();
    CoTaskMemFree(path);
    return folder;
}

// Whether path is folder or lies below it, in any case, as Windows compares.
bool isWithin(const QString &path, const QString &folder)
{
    return !folder.isEmpty() && path.startsWith(folder, Qt::CaseInsensitive) &&
           (path.size() == folder.size() || path.at(folder.size()) == QLatin1Char('/') ||
            folder.endsWith(QLatin1Char('/')));
}

} // namespace

// The copy's path is the file's without its drive, below the VirtualStore
// folder of the user's local application data. A folder on a network share
// is never virtualized.
QString virtualizedCopy(const QString &fileName)
{
    // Long names, links resolved: as the file system sees the path.
    const QString here = QDir::current().canonicalPath();
    bool virtualized = false;
    for (const KNOWNFOLDERID &id :
         {FOLDERID_ProgramFiles, FOLDERID_ProgramFilesX86, FOLDERID_Windows, FOLDERID_ProgramData})
        virtualized = virtualized || isWithin(here, knownFolder(id));
    const QString localData = knownFolder(FOLDERID_LocalAppData);
    if (!virtualized || localData.isEmpty() || here.size() < 2 || here.at(1) != QLatin1Char(':'))
        return QString();
    QString copy = localData + QLatin1String("/VirtualStore") + here.mid(2);
    if (!copy.endsWith(QLatin1Char('/')))
        copy += QLatin1Char('/');
    copy += fileName;
    static bool said = false;
    if (!said) {
        said = true;
        qWarning("watchdog: %s is a folder whose files Windows redirects for older programs; "
                 "%s is read there and in %s, and the newer of the two counts",
                 qUtf8Printable(QDir::toNativeSeparators(here)), qUtf8Printable(fileName),
                 qUtf8Printable(QDir::toNativeSeparators(copy)));
    }
    return copy;
}
