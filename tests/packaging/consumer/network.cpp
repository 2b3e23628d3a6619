// A program outside the source tree that uses the installed Network library.
#include <QMFoundation/network/QMRESTAPIRequestOperation.h>

#include <QCoreApplication>

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const auto operation = std::make_shared<QMRESTAPIRequestOperation>(
            QUrl(QStringLiteral("http://127.0.0.1:9/")));
    operation->setBasicAuthorizationHeaderWithUsername(QStringLiteral("user"),
                                                       QStringLiteral("secret"));
    if (operation->HTTPMethod() != QStringLiteral("GET")
        || operation->request().transferTimeout() != 15000
        || operation->valueForHTTPHeaderField(QStringLiteral("Authorization"))
                != QStringLiteral("Basic dXNlcjpzZWNyZXQ=")) {
        std::fprintf(stderr, "unexpected request\n");
        return 1;
    }
    std::printf("QMFoundation::Network works from its installed package\n");
    return 0;
}
