#include "wire/ZServiceLocation.h"

#include "wire/ZWireProtocol.h"

#include <QDir>

namespace SearchEngine {

QString ZServiceLocation::runtimeFolder()
{
    return QDir::tempPath();
}

QString ZServiceLocation::socketPath()
{
    return runtimeFolder() + QLatin1Char('/') + QLatin1String(ServiceServerName);
}

} // namespace SearchEngine
