"""Signing the image's Tolvane.exe: the certificate checked first, then
osslsigncode, then the signatures and timestamps verified."""
import datetime
import os
import subprocess
import tempfile

from .common import SYSTEM_ROOTS


# The extensions Windows' chain engine knows; an unknown one marked critical
# makes it refuse the whole chain.
KNOWN_EXTENSIONS = {"2.5.29.14", "2.5.29.15", "2.5.29.17", "2.5.29.18", "2.5.29.19", "2.5.29.30", "2.5.29.31",
                    "2.5.29.32", "2.5.29.33", "2.5.29.35", "2.5.29.36", "2.5.29.37", "2.5.29.46", "2.5.29.54",
                    "1.3.6.1.5.5.7.1.1", "1.3.6.1.5.5.7.1.11", "1.3.6.1.4.1.311.21.10", "1.3.6.1.4.1.311.10.3.3"}


def check_authorities(pfx, certificate, others, findings):
    """What Windows refuses in a chain although each certificate parses: a
    signer that is itself a certification authority, MD5 anywhere, an
    unknown critical extension, an issuing authority whose extended key
    usage leaves out code signing."""
    from cryptography import x509
    from cryptography.x509.oid import ExtendedKeyUsageOID

    def extension(cert, kind):
        try:
            return cert.extensions.get_extension_for_class(kind).value
        except x509.ExtensionNotFound:
            return None

    constraints = extension(certificate, x509.BasicConstraints)
    if constraints is not None and constraints.ca:
        findings.error(pfx, "its certificate is a certification authority's (CA:TRUE): Windows does not take it "
                            "as a code signer")
    for cert in [certificate] + list(others):
        subject = cert.subject.rfc4514_string()
        try:
            digest = cert.signature_hash_algorithm.name
        except Exception:  # an algorithm the library no longer knows
            digest = "unknown"
        if digest in ("md5", "md2", "unknown"):
            findings.error(pfx, f"{subject} is signed with {digest.upper()}: Windows trusts no chain that holds it")
        for ext in cert.extensions:
            if ext.critical and ext.oid.dotted_string not in KNOWN_EXTENSIONS:
                findings.error(pfx, f"{subject} has the critical extension {ext.oid.dotted_string}, which Windows "
                                    "does not know: it refuses the chain")
        authority = extension(cert, x509.BasicConstraints)
        usages = extension(cert, x509.ExtendedKeyUsage)
        if cert is not certificate and authority is not None and authority.ca and usages is not None and \
                ExtendedKeyUsageOID.CODE_SIGNING not in usages and ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE not in usages:
            findings.error(pfx, f"{subject}, which issues the chain, allows no code signing (extended key usage): "
                                "Windows refuses signatures below it")


class Signer:
    """A code-signing certificate in a PKCS #12 file, checked before it is
    used: a signature that Windows would not accept must not reach a disc."""

    def __init__(self, pfx, password_file, findings, timestamp=None, oldest=None):
        from cryptography import x509
        from cryptography.hazmat.primitives.asymmetric import ec, rsa
        from cryptography.hazmat.primitives.serialization import Encoding, pkcs12
        from cryptography.x509.oid import ExtendedKeyUsageOID

        self.pfx = pfx
        self.certificate = None
        try:
            with open(password_file, "rb") as f:
                head = f.read(2)
                if head in (b"\xff\xfe", b"\xfe\xff"):  # UTF-16, as PowerShell 5 writes a file by default
                    line = (head + f.read()).decode("utf-16").split("\n")[0].encode("utf-8")
                else:
                    line = (head if b"\n" in head else head + f.readline()).split(b"\n")[0]
            self.password = line.rstrip(b"\r")
            if self.password.startswith(b"\xef\xbb\xbf"):  # Notepad's UTF-8 byte-order mark
                self.password = self.password[3:]
        except OSError as e:
            findings.error(password_file, f"cannot be read: {e.strerror}")
            return
        except UnicodeDecodeError:
            findings.error(password_file, "is no UTF-16 text, though it begins as one")
            return
        try:
            with open(pfx, "rb") as f:
                key, certificate, others = pkcs12.load_key_and_certificates(f.read(), self.password or None)
        except OSError as e:
            findings.error(pfx, f"cannot be read: {e.strerror}")
            return
        except ValueError:
            findings.error(pfx, "the password in the password file does not open it (or it is no PKCS #12 file)")
            return
        if key is None or certificate is None:
            findings.error(pfx, "holds no private key and certificate: it cannot sign")
            return
        now = datetime.datetime.utcnow()
        if now < certificate.not_valid_before:
            findings.error(pfx, f"its certificate is not valid before {certificate.not_valid_before:%Y-%m-%d %H:%M} UTC")
        if now > certificate.not_valid_after:
            findings.error(pfx, f"its certificate expired on {certificate.not_valid_after:%Y-%m-%d}")
        try:
            usages = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
        except x509.ExtensionNotFound:
            usages = []
        if ExtendedKeyUsageOID.CODE_SIGNING not in usages:
            findings.error(pfx, "its certificate does not allow code signing (extended key usage 1.3.6.1.5.5.7.3.3)")
        if x509.ObjectIdentifier("1.3.6.1.4.1.311.10.3.13") in usages:
            findings.warning(pfx, "its certificate has the Lifetime Signing usage (1.3.6.1.4.1.311.10.3.13): its "
                                  "signatures stop counting when it expires, timestamp or not")
        try:
            if not certificate.extensions.get_extension_for_class(x509.KeyUsage).value.digital_signature:
                findings.error(pfx, "its certificate's key usage leaves out digitalSignature: it cannot sign code")
        except x509.ExtensionNotFound:
            pass
        # Windows verifies ECDSA Authenticode signatures from Windows 8 on.
        ecdsa_from = (6, 2)
        if isinstance(key, ec.EllipticCurvePrivateKey) and oldest is not None and oldest.version >= ecdsa_from:
            pass
        elif isinstance(key, ec.EllipticCurvePrivateKey):
            name, flag = (oldest.name, oldest.key) if oldest is not None else ("Windows XP", "xp")
            findings.error(pfx, f"its key is ECDSA, not RSA: {name} verifies only RSA Authenticode signatures "
                                f"(ECDSA from Windows 8 on; --oldest-windows {flag})")
        elif not isinstance(key, rsa.RSAPrivateKey):
            findings.error(pfx, f"its key is {type(key).__name__.replace('PrivateKey', '').lstrip('_')}, not RSA: "
                                f"Windows checks only RSA and ECDSA Authenticode signatures, and ECDSA from Windows 8 on")
        elif key.key_size < 1024:
            findings.error(pfx, f"its RSA key has {key.key_size} bits: Windows refuses signatures with fewer than 1024")
        elif key.key_size < 2048:
            findings.warning(pfx, f"its RSA key has {key.key_size} bits: fewer than 2048 are no longer deemed safe")
        if not timestamp and now <= certificate.not_valid_after < now + datetime.timedelta(days=30):
            findings.error(pfx, f"its certificate expires on {certificate.not_valid_after:%Y-%m-%d}, within 30 days, "
                                f"and without --timestamp the signature stops counting then: the disc would reach "
                                f"its users with a signature Windows no longer trusts")
        self.certificate = certificate
        check_authorities(pfx, certificate, others, findings)
        self.check_chain(certificate, others, findings)
        self.chain = b"".join(c.public_bytes(Encoding.PEM) for c in [certificate] + list(others))
        self.subject = certificate.subject.rfc4514_string()

    def check_chain(self, certificate, others, findings):
        """Warns when the certificate's chain reaches no root of the system's
        store (Debian's ca-certificates), as Windows would find: the PFX's own
        certificates count only as intermediates, never as roots."""
        from cryptography.hazmat.primitives.serialization import Encoding
        with tempfile.TemporaryDirectory(prefix="make_medium-chain-") as folder:
            leaf, middle = os.path.join(folder, "leaf.pem"), os.path.join(folder, "others.pem")
            with open(leaf, "wb") as f:
                f.write(certificate.public_bytes(Encoding.PEM))
            with open(middle, "wb") as f:
                f.write(b"".join(c.public_bytes(Encoding.PEM) for c in others))
            try:
                done = subprocess.run(["openssl", "verify", "-CAfile", SYSTEM_ROOTS, "-partial_chain", "-purpose",
                                       "any", *(["-untrusted", middle] if others else []), leaf],
                                      capture_output=True, text=True, timeout=60)
            except (OSError, subprocess.TimeoutExpired) as e:
                findings.warning(self.pfx, f"its chain could not be checked (openssl: {e})")
                return
        if done.returncode == 0:
            return
        said = (done.stdout + done.stderr).strip().splitlines()
        why = next((line.split(":", 2)[-1].strip() for line in said if "error" in line), said[-1] if said else "")
        missing = certificate.issuer != certificate.subject and "local issuer" in why
        findings.warning(self.pfx, "its certificate's chain reaches no root of the system's store (" + why + "): "
                         + ("an intermediate certificate is missing from the PFX; " if missing else "")
                         + 'Windows will name the publisher "Unknown publisher"')

    def sign(self, exe, folder, timestamp):
        """A signed copy of `exe` in `folder`, checked by osslsigncode against
        the certificate's own chain and the system's trusted roots, and its
        timestamps against the system's roots. The password goes to
        osslsigncode through a pipe, never into a file. Raises RuntimeError
        with what went wrong."""
        sha1, signed = os.path.join(folder, "sha1.exe"), os.path.join(folder, "Tolvane.exe")
        stamp = ["-ts", timestamp] if timestamp else []
        for digest, source, target in (("sha1", exe, sha1), ("sha256", sha1, signed)):
            nest = ["-nest"] if digest == "sha256" else []
            reading, writing = os.pipe()
            try:
                os.write(writing, self.password)
                os.close(writing)
                writing = None
                # A PFX without a password opens only when none is given, as --check opened it.
                secret = ["-readpass", f"/dev/fd/{reading}"] if self.password else []
                osslsigncode("sign", "-pkcs12", self.pfx, *secret, "-h", digest, *nest,
                             *stamp, "-in", source, "-out", target, pass_fds=(reading,), server=timestamp)
            finally:
                os.close(reading)
                if writing is not None:
                    os.close(writing)
        trusted = os.path.join(folder, "trusted.pem")
        with open(trusted, "wb") as f:
            f.write(self.chain)
            if os.path.isfile(SYSTEM_ROOTS):
                with open(SYSTEM_ROOTS, "rb") as roots:
                    f.write(roots.read())
        report = osslsigncode("verify", "-CAfile", trusted, *(["-TSA-CAfile", SYSTEM_ROOTS] if timestamp else []),
                              "-in", signed, check=False)
        if timestamp and report.count("Timestamp Server Signature verification: ok") != 2:
            raise RuntimeError(f"the timestamp from {timestamp} does not verify against the system's roots: a "
                               f"timestamp that Windows cannot check counts for nothing")
        if "Number of verified signatures: 2" not in report:
            raise RuntimeError(f"osslsigncode did not confirm both signatures of {signed}:\n{report.strip()}")
        return signed

    def line(self, timestamp):
        stamped = f"timestamped by {timestamp}" if timestamp else \
            f"not timestamped: valid until the certificate expires on {self.certificate.not_valid_after:%Y-%m-%d}"
        return f"  Tolvane.exe signed by {self.subject}, SHA-1 + SHA-256, {stamped}"


# How long a timestamp server may take to answer (the tests shorten it).
SERVER_SECONDS = int(os.environ.get("MAKE_MEDIUM_TIMESTAMP_SECONDS", "60"))


def osslsigncode(*arguments, pass_fds=(), server=None, check=True):
    """osslsigncode's output; RuntimeError with its last lines when it fails.
    A call that asks `server` for a timestamp is given SERVER_SECONDS."""
    try:
        done = subprocess.run(["osslsigncode", *arguments], capture_output=True, text=True, pass_fds=pass_fds,
                              timeout=SERVER_SECONDS if server else None)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"the timestamp server {server} did not answer within {SERVER_SECONDS} seconds") from None
    except OSError as e:
        raise RuntimeError(f"osslsigncode cannot be started ({e.strerror}): Debian's package osslsigncode") from e
    if done.returncode != 0 and check:
        said = [line for line in (done.stdout + done.stderr).strip().splitlines() if "-t option" not in line]
        if server:  # one line: the server and the reason, not OpenSSL's error stack
            # OpenSSL's lines read "<thread>:error:<code>:<library>:<function>:<reason>:<file>:...".
            reasons = [line.split(":")[5] for line in said if ":error:" in line and len(line.split(":")) > 5]
            reason = reasons[0] if reasons else said[-1] if said else "no reason given"
            raise RuntimeError(f"the timestamp server {server} gave no timestamp ({reason})")
        raise RuntimeError(f"osslsigncode {arguments[0]} failed: " + "\n".join(said[-3:]))
    return done.stdout
