#pragma once
#include <QString>

// Creates a self-signed certificate and its private key (PEM) unless both exist.
// The client verifies nothing, so a generated certificate is enough for TLS.
bool ensureSelfSignedCertificate(const QString &certFile, const QString &keyFile, QString *error);
