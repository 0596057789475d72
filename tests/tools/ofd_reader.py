#!/usr/bin/python3
"""An independent reader of seal-signed OFD packages, for the tests.

It shares no code with the libraries: the package is read with zipfile and
ElementTree as GB/T 33190 lays it out, the seals and seal signatures with
asn1crypto from the published layouts (GB/T 38540 for the GOV family, whose
version is 4, and GM/T 0031 for the plain family), SM3 comes from hashlib,
RSA from cryptography, and SM2 verification (GB/T 32918, identifier
1234567812345678) is written out below.

    ofd_reader.py FILE.ofd

For every seal signature it checks the reference check values, the DER
encoding of the signature value, the digest it signs (SM3 of Signature.xml
for SM2, SHA-256 for RSA), the signer's and the seal maker's signatures, that
the signer is an owner of the seal and signed within the seal's validity, that
Seal.esl is the seal inside the signature, and the stamp's page and size.
Prints one line per signature; exits 0 when every check of every signature
passed, 1 otherwise.
"""
import base64
import hashlib
import sys
import xml.etree.ElementTree as ET
import zipfile

from asn1crypto import algos, core, x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

# --- GB/T 32918.5 curve and SM2 verification --------------------------------
P = 0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF
A = 0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC
B = 0x28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93
N = 0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123
G = (0x32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7,
     0xBC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0)
SM2_WITH_SM3 = '1.2.156.10197.1.501'
RSA_WITH_SHA256 = '1.2.840.113549.1.1.11'


def sm3(data):
    return hashlib.new('sm3', data).digest()


def add(p, q):
    if p is None:
        return q
    if q is None:
        return p
    if p[0] == q[0] and (p[1] + q[1]) % P == 0:
        return None
    if p == q:
        lam = (3 * p[0] * p[0] + A) * pow(2 * p[1], -1, P) % P
    else:
        lam = (q[1] - p[1]) * pow(q[0] - p[0], -1, P) % P
    x = (lam * lam - p[0] - q[0]) % P
    return x, (lam * (p[0] - x) - p[1]) % P


def mul(k, p):
    out = None
    while k:
        if k & 1:
            out = add(out, p)
        p = add(p, p)
        k >>= 1
    return out


def n32(v):
    return v.to_bytes(32, 'big')


def sm2_verify(point, message, r, s, uid=b'1234567812345678'):
    if len(point) != 65 or point[0] != 4 or not (0 < r < N and 0 < s < N):
        return False
    pub = (int.from_bytes(point[1:33], 'big'), int.from_bytes(point[33:], 'big'))
    z = sm3((len(uid) * 8).to_bytes(2, 'big') + uid + n32(A) + n32(B) +
            n32(G[0]) + n32(G[1]) + n32(pub[0]) + n32(pub[1]))
    e = int.from_bytes(sm3(z + message), 'big')
    t = (r + s) % N
    sum_point = add(mul(s, G), mul(t, pub)) if t else None
    return sum_point is not None and (e + sum_point[0]) % N == r


# --- Seal and signature layouts ---------------------------------------------
class Header(core.Sequence):
    _fields = [('sID', core.IA5String), ('version', core.Integer),
               ('sVid', core.IA5String)]


class Picture(core.Sequence):
    _fields = [('type', core.IA5String), ('data', core.OctetString),
               ('width', core.Integer), ('height', core.Integer)]


class Certs(core.SequenceOf):
    _child_spec = core.OctetString


class Extensions(core.SequenceOf):
    _child_spec = x509.Extension


class GovProperty(core.Sequence):
    _fields = [('type', core.Integer), ('name', core.UTF8String),
               ('certListType', core.Integer), ('certList', Certs),
               ('createDate', core.GeneralizedTime),
               ('validStart', core.GeneralizedTime),
               ('validEnd', core.GeneralizedTime)]


class GovSealInfo(core.Sequence):
    _fields = [('header', Header), ('esID', core.IA5String),
               ('propertys', GovProperty), ('picture', Picture),
               ('extDatas', Extensions, {'optional': True})]


class GovSeal(core.Sequence):
    _fields = [('esealInfo', GovSealInfo), ('cert', core.OctetString),
               ('signatureAlgorithm', core.ObjectIdentifier),
               ('signData', core.OctetBitString)]


class GovTbsSign(core.Sequence):
    _fields = [('version', core.Integer), ('eseal', GovSeal),
               ('timeInfo', core.GeneralizedTime),
               ('dataHash', core.OctetBitString),
               ('propertyInfo', core.IA5String),
               ('extDatas', Extensions, {'optional': True})]


class TimeStamps(core.SequenceOf):
    _child_spec = core.OctetBitString


class GovSignature(core.Sequence):
    _fields = [('tbsSign', GovTbsSign), ('cert', core.OctetString),
               ('signatureAlgorithm', core.ObjectIdentifier),
               ('signature', core.OctetBitString),
               ('timeStamp', TimeStamps, {'optional': True})]


class PlainProperty(core.Sequence):
    _fields = [('type', core.Integer), ('name', core.UTF8String),
               ('certList', Certs), ('createDate', core.UTCTime),
               ('validStart', core.UTCTime), ('validEnd', core.UTCTime)]


class PlainSealInfo(core.Sequence):
    _fields = [('header', Header), ('esID', core.IA5String),
               ('propertys', PlainProperty), ('picture', Picture),
               ('extDatas', Extensions, {'optional': True})]


class SignInfo(core.Sequence):
    _fields = [('cert', core.OctetString),
               ('signatureAlgorithm', core.ObjectIdentifier),
               ('signData', core.OctetBitString)]


class PlainSeal(core.Sequence):
    _fields = [('esealInfo', PlainSealInfo), ('signInfo', SignInfo)]


class TbsSeal(core.Sequence):
    _fields = [('esealInfo', PlainSealInfo), ('cert', core.OctetString),
               ('signatureAlgorithm', core.ObjectIdentifier)]


class PlainTbsSign(core.Sequence):
    _fields = [('version', core.Integer), ('eseal', PlainSeal),
               ('timeInfo', core.OctetBitString),
               ('dataHash', core.OctetBitString),
               ('propertyInfo', core.IA5String), ('cert', core.OctetString),
               ('signatureAlgorithm', core.ObjectIdentifier)]


class PlainSignature(core.Sequence):
    _fields = [('tbsSign', PlainTbsSign), ('signature', core.OctetBitString)]


def bits(value):
    """The bytes of a BIT STRING, which must have no unused bits."""
    if value.contents[:1] != b'\x00':
        raise ValueError('a BIT STRING with unused bits')
    return value.contents[1:]


def verify(cert_der, algorithm, message, signature):
    """The signature checked with the certificate's key and the algorithm
    its identifier names."""
    key = x509.Certificate.load(cert_der).public_key
    if algorithm == SM2_WITH_SM3:
        rs = algos.DSASignature.load(signature, strict=True)
        return (rs.dump(force=True) == signature and
                sm2_verify(key['public_key'].native, message,
                           rs['r'].native, rs['s'].native))
    if algorithm == RSA_WITH_SHA256:
        public = serialization.load_der_public_key(key.dump())
        try:
            public.verify(signature, message, padding.PKCS1v15(),
                          hashes.SHA256())
            return True
        except Exception:
            return False
    return False


def local(tag):
    return tag.rsplit('}', 1)[-1]


def child(node, name):
    for c in node:
        if local(c.tag) == name:
            return c
    return None


def children(node, name):
    return [c for c in node if local(c.tag) == name]


def check_signature(z, names, doc_root, sig_path, problems):
    xml_bytes = z.read(sig_path)
    info = child(ET.fromstring(xml_bytes), 'SignedInfo')
    refs = child(info, 'References')
    if refs.get('CheckMethod') != '1.2.156.10197.1.401':
        problems.append('CheckMethod is not SM3')
    for ref in children(refs, 'Reference'):
        name = ref.get('FileRef').lstrip('/')
        value = base64.b64decode(child(ref, 'CheckValue').text.strip())
        if name not in names or sm3(z.read(name)) != value:
            problems.append('reference %s does not match' % name)
    value_path = child(ET.fromstring(xml_bytes), 'SignedValue').text.strip()
    value = z.read(value_path.lstrip('/'))
    # The family: the GOV layout, else the plain one; each must be DER.
    try:
        sig = GovSignature.load(value, strict=True)
        tbs = sig['tbsSign']
        gov = tbs['version'].native == 4
        sig.native  # parses every field
    except Exception:
        gov = False
    if not gov:
        sig = PlainSignature.load(value, strict=True)
        tbs = sig['tbsSign']
        sig.native
    if sig.dump(force=True) != value:
        problems.append('the signature value is not DER')
    seal = tbs['eseal']
    if gov:
        signer, algorithm = sig['cert'].native, sig['signatureAlgorithm'].dotted
        maker = seal['cert'].native
        maker_algorithm = seal['signatureAlgorithm'].dotted
        maker_signed = seal['esealInfo'].dump()
        maker_signature = bits(seal['signData'])
        when = tbs['timeInfo'].native
        owners = [c.native for c in seal['esealInfo']['propertys']['certList']]
    else:
        signer, algorithm = tbs['cert'].native, tbs['signatureAlgorithm'].dotted
        sign_info = seal['signInfo']
        maker = sign_info['cert'].native
        maker_algorithm = sign_info['signatureAlgorithm'].dotted
        maker_signed = TbsSeal({'esealInfo': seal['esealInfo'],
                                'cert': sign_info['cert'],
                                'signatureAlgorithm':
                                    sign_info['signatureAlgorithm']}).dump()
        maker_signature = bits(sign_info['signData'])
        when = core.GeneralizedTime.load(
            b'\x18' + bytes([len(bits(tbs['timeInfo']))]) +
            bits(tbs['timeInfo'])).native
        owners = [c.native for c in seal['esealInfo']['propertys']['certList']]
    method = child(info, 'SignatureMethod').text.strip()
    if method != algorithm:
        problems.append('SignatureMethod %s, signature %s' % (method, algorithm))
    digest = sm3 if algorithm == SM2_WITH_SM3 else (
        lambda d: hashlib.sha256(d).digest())
    if bits(tbs['dataHash']) != digest(xml_bytes):
        problems.append('dataHash is not the digest of Signature.xml')
    if not verify(signer, algorithm, tbs.dump(), bits(sig['signature'])):
        problems.append("the signer's signature does not verify")
    if not verify(maker, maker_algorithm, maker_signed, maker_signature):
        problems.append("the seal maker's signature does not verify")
    if signer not in owners:
        problems.append('the signer is not an owner of the seal')
    props = seal['esealInfo']['propertys']
    if not props['validStart'].native <= when <= props['validEnd'].native:
        problems.append("signed outside the seal's validity")
    seal_loc = child(child(info, 'Seal'), 'BaseLoc').text.strip()
    if z.read(seal_loc.lstrip('/')) != seal.dump():
        problems.append('Seal.esl is not the seal of the signature')
    stamp = child(info, 'StampAnnot')
    pages = [p.get('ID') for p in ET.fromstring(z.read(doc_root)).iter()
             if local(p.tag) == 'Page' and p.get('ID')]
    box = [float(v) for v in stamp.get('Boundary').split()]
    picture = seal['esealInfo']['picture']
    if stamp.get('PageRef') not in pages or len(box) != 4 or box[2:] != [
            picture['width'].native, picture['height'].native]:
        problems.append('the stamp names no page or not the seal size')
    return 'GOV' if gov else 'plain'


def main(path):
    z = zipfile.ZipFile(path)
    names = set(z.namelist())
    signatures = 0
    failed = False
    for body in ET.fromstring(z.read('OFD.xml')).iter():
        if local(body.tag) != 'DocBody':
            continue
        root = child(body, 'DocRoot').text.strip().lstrip('/')
        listed = child(body, 'Signatures')
        loc = (listed.text.strip().lstrip('/') if listed is not None else
               root.rsplit('/', 1)[0] + '/Signs/Signatures.xml')
        if loc not in names:
            continue
        for entry in children(ET.fromstring(z.read(loc)), 'Signature'):
            if entry.get('Type', 'Seal') != 'Seal':
                continue
            signatures += 1
            problems = []
            sig_path = entry.get('BaseLoc').lstrip('/')
            try:
                family = check_signature(z, names, root, sig_path, problems)
            except Exception as error:  # an unreadable part is a failure
                family = '?'
                problems.append('unreadable: %r' % error)
            print('%s %s: %s' % (sig_path, family,
                                 '; '.join(problems) if problems else 'ok'))
            failed = failed or bool(problems)
    if signatures == 0:
        print('no seal signature')
    return 1 if failed or signatures == 0 else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
