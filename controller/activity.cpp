#include "activity.h"

#include <QStringList>
#include <exception>
#include <utility>

#include "dbengine.h"
#include "mainhost.h"

TControllerActivity::TControllerActivity(IMainWindow& host, std::string command)
    : FHost(host), FCommand(std::move(command)) {
    const int index = host.PortIndex();
    FPort = index >= 0 ? QStringLiteral("COM%1").arg(index + 1) : QStringLiteral("no port");
}

TControllerActivity::~TControllerActivity() {
    try {
        QStringList parts{QStringLiteral("port ") + FPort};
        if (!FFigures.isEmpty()) parts << FFigures;
        QString outcome = FDone ? QStringLiteral("completed") : QStringLiteral("failed");
        if (!FShown.Messages().isEmpty())
            outcome += QStringLiteral(": ") + FShown.Messages().join(QStringLiteral(" / "));
        parts << outcome.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        if (TDbConnection* connection = FHost.CardList().Connection())
            connection->AddHistoryEntry(FCommand, parts.join(QStringLiteral("; ")).toStdString());
    } catch (const std::exception&) {
        // The controller command is over; its record is best effort.
    }
}
