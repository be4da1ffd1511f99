"""The emulator's TLS: a certificate authority made for each run and a server certificate it
signs, made with `cryptography` (which the Azure libraries already bring, so an installed
wheel needs nothing more to serve)."""

import datetime
import ipaddress
import os
import ssl
import tempfile
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

CA_FILE_NAME = "armsim-ca.pem"
# Long enough for any run, short enough that a leaked authority file is soon worthless.
VALIDITY = datetime.timedelta(days=2)
# Clock skew between the certificate's making and a client's check.
BACKDATE = datetime.timedelta(minutes=5)


def make_certificates(
    directory: str | os.PathLike[str], host: str, ca_file_name: str = CA_FILE_NAME
) -> tuple[ssl.SSLContext, str]:
    """A server TLS context and the path of the PEM file of the authority that signed it
    (written to `directory` as `ca_file_name`; the private keys never reach the disk for
    longer than the context takes to load them)."""
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_cert = _authority(ca_key)
    server_key = ec.generate_private_key(ec.SECP256R1())
    server_cert = _server(server_key, ca_key, ca_cert, host)
    ca_file = Path(directory) / ca_file_name
    ca_file.write_bytes(ca_cert.public_bytes(serialization.Encoding.PEM))
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    _load_chain(context, server_key, server_cert)
    return context, str(ca_file)


def _authority(key: ec.EllipticCurvePrivateKey) -> x509.Certificate:
    name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "armsim test authority")])
    public = key.public_key()
    return (
        _builder(name, name, public)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(_usage(cert_sign=True), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False)
        .sign(key, hashes.SHA256())
    )


def _server(
    key: ec.EllipticCurvePrivateKey,
    ca_key: ec.EllipticCurvePrivateKey,
    ca_cert: x509.Certificate,
    host: str,
) -> x509.Certificate:
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, host)])
    ca_public = ca_key.public_key()
    return (
        _builder(ca_cert.subject, subject, key.public_key())
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(_usage(cert_sign=False), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectAlternativeName(_names(host)), critical=False)
        .add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_public), critical=False
        )
        .sign(ca_key, hashes.SHA256())
    )


def _builder(
    issuer: x509.Name, subject: x509.Name, public: ec.EllipticCurvePublicKey
) -> x509.CertificateBuilder:
    now = datetime.datetime.now(datetime.UTC)
    return (
        x509.CertificateBuilder()
        .issuer_name(issuer)
        .subject_name(subject)
        .public_key(public)
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - BACKDATE)
        .not_valid_after(now + VALIDITY)
    )


def _usage(*, cert_sign: bool) -> x509.KeyUsage:
    return x509.KeyUsage(
        digital_signature=True,
        content_commitment=False,
        key_encipherment=False,
        data_encipherment=False,
        key_agreement=False,
        key_cert_sign=cert_sign,
        crl_sign=cert_sign,
        encipher_only=False,
        decipher_only=False,
    )


def _names(host: str) -> list[x509.GeneralName]:
    """The names the server answers to: `host`, localhost and 127.0.0.1, each once."""
    names: list[x509.GeneralName] = []
    for name in dict.fromkeys([host, "localhost", "127.0.0.1"]):
        try:
            names.append(x509.IPAddress(ipaddress.ip_address(name)))
        except ValueError:
            names.append(x509.DNSName(name))
    return names


def _load_chain(
    context: ssl.SSLContext, key: ec.EllipticCurvePrivateKey, cert: x509.Certificate
) -> None:
    """Loads the server's key and certificate; `ssl` reads them only from a file, so they pass
    through one that only this user may read and that is gone once they are loaded."""
    pem = cert.public_bytes(serialization.Encoding.PEM) + key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption(),
    )
    with tempfile.TemporaryDirectory(prefix="armsim-key-") as private:
        path = Path(private) / "server.pem"
        path.write_bytes(pem)
        context.load_cert_chain(path)
