"""Reading PKCS #7 signatures and X.509 names, and issuing certificates with chosen
subjects from the fixtures' CA."""

import base64
import os
import subprocess
import tempfile

from der import (TAG_BIT_STRING, TAG_BMP, TAG_BOOLEAN, TAG_CONTEXT_0, TAG_IA5, TAG_INTEGER,
                 TAG_OCTET_STRING, TAG_SEQUENCE, TAG_UTC_TIME, TAG_UTF8, algorithm, der_oid,
                 der_set_of, issuer_and_serial, oid_text, parse_one, pem_to_der, tbs_fields, tlv)
from pe import Fail

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"
OID_SIGNING_TIME = "1.2.840.113549.1.9.5"
OID_EMAIL = "1.2.840.113549.1.9.1"
OID_CN = "2.5.4.3"
OID_OU = "2.5.4.11"
OID_O = "2.5.4.10"
OID_SHA256_RSA = "1.2.840.113549.1.1.11"
OID_BASIC_CONSTRAINTS = "2.5.29.19"
OID_KEY_USAGE = "2.5.29.15"
OID_EXT_KEY_USAGE = "2.5.29.37"
OID_SUBJECT_ALT_NAME = "2.5.29.17"
OID_CODE_SIGNING = "1.3.6.1.5.5.7.3.3"


def signer_info(content_info):
    """The first SignerInfo of a ContentInfo holding SignedData."""
    if oid_text(content_info.child(0).content) != OID_SIGNED_DATA:
        raise Fail("signature is not SignedData")
    signed_data = content_info.child(1).child(0)
    return signed_data.children[-1].child(0)


def certificates(content_info):
    found = content_info.child(1).child(0).first(TAG_CONTEXT_0)
    return found.children if found else []


def attributes(signer, tag):
    """The authenticated (0xA0) or unauthenticated (0xA1) attributes of a SignerInfo."""
    found = signer.first(tag)
    return found.children if found else []


def find_attribute(attribute_list, oid):
    for attribute in attribute_list:
        if oid_text(attribute.child(0).content) == oid:
            return attribute
    raise Fail("attribute %s not found" % oid)


def counter_attribute(signer):
    return find_attribute(attributes(signer, 0xA1), OID_COUNTER_SIGNATURE)


def counter_signer(signer):
    return counter_attribute(signer).child(1).child(0)


def time_attribute(signer):
    """The signingTime attribute of the SignerInfo's counter-signature."""
    return find_attribute(attributes(counter_signer(signer), 0xA0), OID_SIGNING_TIME)


def certificate_of(content_info, signer):
    """The certificate whose issuer and serial the SignerInfo names."""
    wanted = signer.child(1).encode()
    for cert in certificates(content_info):
        if issuer_and_serial(cert) == wanted:
            return cert
    raise Fail("signer certificate not in the signature")


def subject_of(cert):
    return tbs_fields(cert)[4]


def string_value(node):
    if node.tag == TAG_BMP:
        return node.content.decode("utf-16-be")
    if node.tag == TAG_UTF8:
        return node.content.decode("utf-8")
    return node.content.decode("latin-1")


def windows_signer_name(subject):
    """The subject name as Windows gives it for an attribute-type query without an
    attribute: the first of emailAddress, CN, OU and O present in the subject."""
    found = {}
    for rdn in subject.children:
        for pair in rdn.children:
            found.setdefault(oid_text(pair.child(0).content), string_value(pair.child(1)))
    for oid in (OID_EMAIL, OID_CN, OID_OU, OID_O):
        if oid in found:
            return found[oid]
    return ""


def utc_time_text(node):
    """UTCTime YYMMDDhhmmssZ as 14 digits."""
    text = node.content.decode("ascii")
    year = int(text[:2])
    return ("20" if year < 50 else "19") + text[:12]


def signing_time(content_info):
    return utc_time_text(time_attribute(signer_info(content_info)).child(1).child(0))


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, **kwargs).stdout


def der_to_pem(der, label="CERTIFICATE"):
    text = base64.b64encode(der).decode("ascii")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ("-----BEGIN %s-----\n%s\n-----END %s-----\n" % (label, "\n".join(lines), label))


def rdn(*pairs):
    """One RDN; several pairs make it multi-valued (DER sorts a SET OF)."""
    return der_set_of([tlv(TAG_SEQUENCE, der_oid(oid) + tlv(tag, value))
                       for oid, tag, value in pairs])


def name(*rdns):
    return tlv(TAG_SEQUENCE, b"".join(rdns))


def utf8(oid, text):
    return (oid, TAG_UTF8, text.encode("utf-8"))


def ia5(oid, text):
    return (oid, TAG_IA5, text.encode("ascii"))


def bmp(oid, text):
    return (oid, TAG_BMP, text.encode("utf-16-be"))


def extension(oid, value, critical=False):
    flag = tlv(TAG_BOOLEAN, b"\xff") if critical else b""
    return tlv(TAG_SEQUENCE, der_oid(oid) + flag + tlv(TAG_OCTET_STRING, value))


class Issuer:
    """Issues code-signing certificates with chosen subjects from the fixtures' CA."""

    def __init__(self, tools, pki, work):
        self.tools = tools
        self.ca_key = os.path.join(pki, "ca.key")
        ca = parse_one(pem_to_der(open(os.path.join(pki, "ca.pem"), encoding="ascii").read()))
        self.ca_subject = subject_of(ca).encode()
        self.key = os.path.join(work, "hostile-signer.key")
        run([tools.openssl, "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
             "rsa_keygen_bits:2048", "-out", self.key])
        self.public_key = run([tools.openssl, "pkey", "-in", self.key, "-pubout", "-outform", "DER"])
        self.work = work
        self.serial = 4000

    def issue(self, label, subject, alt_name=None):
        self.serial += 1
        signature_algorithm = algorithm(OID_SHA256_RSA)
        validity = tlv(TAG_SEQUENCE, tlv(TAG_UTC_TIME, b"180101000000Z") +
                       tlv(TAG_UTC_TIME, b"380101000000Z"))
        extensions = [
            extension(OID_BASIC_CONSTRAINTS, tlv(TAG_SEQUENCE, b"")),
            extension(OID_KEY_USAGE, tlv(TAG_BIT_STRING, b"\x07\x80"), critical=True),
            extension(OID_EXT_KEY_USAGE, tlv(TAG_SEQUENCE, der_oid(OID_CODE_SIGNING))),
        ]
        if alt_name is not None:
            # GeneralNames holding one directoryName ([4], explicit: Name is a CHOICE).
            extensions.append(extension(OID_SUBJECT_ALT_NAME,
                                        tlv(TAG_SEQUENCE, tlv(0xA4, alt_name))))
        tbs = tlv(TAG_SEQUENCE,
                  tlv(0xA0, tlv(TAG_INTEGER, b"\x02")) +
                  tlv(TAG_INTEGER, self.serial.to_bytes(2, "big")) + signature_algorithm +
                  self.ca_subject + validity + subject + self.public_key +
                  tlv(0xA3, tlv(TAG_SEQUENCE, b"".join(extensions))))
        with tempfile.NamedTemporaryFile(dir=self.work, delete=False) as f:
            f.write(tbs)
        try:
            signature = run([self.tools.openssl, "dgst", "-sha256", "-sign", self.ca_key, f.name])
        finally:
            os.unlink(f.name)
        cert = tlv(TAG_SEQUENCE,
                   tbs + signature_algorithm + tlv(TAG_BIT_STRING, b"\0" + signature))
        path = os.path.join(self.work, label + ".pem")
        with open(path, "w", encoding="ascii") as out:
            out.write(der_to_pem(cert))
        return path, parse_one(cert)

    def sign(self, cert_path, source, target):
        # osslsigncode will not overwrite: a rebuild over an earlier output must not fail.
        if os.path.exists(target):
            os.unlink(target)
        run([self.tools.osslsigncode, "sign", "-certs", cert_path, "-key", self.key,
             "-h", "sha256", "-n", "Korva fixture", "-in", source, "-out", target])
