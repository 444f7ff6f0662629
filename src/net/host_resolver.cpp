#include "net/host_resolver.h"

#include "core/cp1254.h"
#include "net/socket_errors.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

namespace km40r {

THostResolver SystemHostResolver() {
    return [](const std::string& name, QObject* context, TResolveDone done) {
        if (name == "localhost") {
            QTimer::singleShot(0, context, [done] { done(0x7F000001u, 0); });
            return;
        }
        const QString host = QString::fromStdString(Cp1254ToUtf8(name));
        QHostInfo::lookupHost(host, context, [done](const QHostInfo& info) {
            if (info.error() == QHostInfo::NoError)
                for (const QHostAddress& address : info.addresses())
                    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                        done(address.toIPv4Address(), 0);
                        return;
                    }
            done(0, info.error() == QHostInfo::UnknownError ? kSocketLookupFailed
                                                            : kSocketHostNotFound);
        });
    };
}

} // namespace km40r
