#pragma once

#include <QMetaType>
#include <QString>

// Why a call to the chart service did not give what was asked for. Kept as a
// value so that each face of the tool words it its own way.
struct ServiceError
{
    enum Kind {
        None,
        // No answer: no connection, a timeout, a TLS failure, a reset.
        Network,
        // The service answered with an error status; code and message are
        // its own ("wrong_password", "no_subscription", ...).
        Refused,
        // An answer the tool cannot use: not what the call expects, or
        // larger than any real answer.
        Unreadable,
    };

    Kind kind = None;
    int status = 0;  // HTTP status, 0 without an answer
    QString code;    // the service's "error" field
    // The service's "message" (empty when it gave none), or the network
    // layer's words when there was no answer.
    QString message;

    bool ok() const { return kind == None; }
    // A sign-in the service turned down, as opposed to one that could not
    // be asked.
    bool isSignInRefusal() const;
    // A call made with a session the service no longer takes.
    bool isSessionRefused() const { return kind == Refused && status == 401; }
};

Q_DECLARE_METATYPE(ServiceError)
