#pragma once

#include <QString>

// Lets a test or benchmark run reach a chart service whose certificate is
// signed by an authority of its own (the local stand-in makes one at every
// start), without ever ignoring a TLS error: the authority's certificates
// are trusted beside the system's, and everything else is checked as usual,
// host name included. Production runs never set the variable.
class ExtraCaTrust
{
public:
    static constexpr const char *EnvironmentVariable = "QUORVEL_EXTRA_CA_FILE";

    // Reads the file the variable names, if it is set, and adds its
    // certificates to the default TLS configuration, which every network
    // manager of the tool starts from. Called once at start-up, before the
    // first request. Returns the number of certificates added.
    static int installFromEnvironment();

    // The same for a given PEM file. A file that cannot be read or holds no
    // certificate is logged and changes nothing; returns the number added.
    static int addToDefaultConfiguration(const QString &path);
};
