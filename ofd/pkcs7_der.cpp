// Template blocks of the SignedData structures; the records and their ASN.1
// definitions are in pkcs7_der.h, in the same order.
#include "pkcs7_der.h"

namespace ofd::p7 {

// The template blocks keep one field per line, as their ASN.1 reads.
// clang-format off

ASN1_SEQUENCE(ContentInfo) = {
    ASN1_SIMPLE(ContentInfo_t, contentType, ASN1_OBJECT),
    ASN1_EXP_OPT(ContentInfo_t, content, ASN1_ANY, 0),
} ASN1_SEQUENCE_END_name(ContentInfo_t, ContentInfo)

ASN1_SEQUENCE(IssuerAndSerialNumber) = {
    ASN1_SIMPLE(IssuerAndSerialNumber_t, issuer, X509_NAME),
    ASN1_SIMPLE(IssuerAndSerialNumber_t, serialNumber, ASN1_INTEGER),
} ASN1_SEQUENCE_END_name(IssuerAndSerialNumber_t, IssuerAndSerialNumber)

ASN1_CHOICE(SignerIdentifier) = {
    ASN1_SIMPLE(SignerIdentifier_t, value.issuerAndSerialNumber, IssuerAndSerialNumber),
    ASN1_IMP(SignerIdentifier_t, value.subjectKeyIdentifier, ASN1_OCTET_STRING, 0),
} ASN1_CHOICE_END_name(SignerIdentifier_t, SignerIdentifier)

ASN1_SEQUENCE(SignerInfo) = {
    ASN1_SIMPLE(SignerInfo_t, version, ASN1_INTEGER),
    ASN1_SIMPLE(SignerInfo_t, sid, SignerIdentifier),
    ASN1_SIMPLE(SignerInfo_t, digestAlgorithm, X509_ALGOR),
    ASN1_IMP_SET_OF_OPT(SignerInfo_t, signedAttrs, X509_ATTRIBUTE, 0),
    ASN1_SIMPLE(SignerInfo_t, signatureAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(SignerInfo_t, signature, ASN1_OCTET_STRING),
    ASN1_IMP_SET_OF_OPT(SignerInfo_t, unsignedAttrs, X509_ATTRIBUTE, 1),
} ASN1_SEQUENCE_END_name(SignerInfo_t, SignerInfo)

ASN1_SEQUENCE(SignedData) = {
    ASN1_SIMPLE(SignedData_t, version, ASN1_INTEGER),
    ASN1_SET_OF(SignedData_t, digestAlgorithms, X509_ALGOR),
    ASN1_SIMPLE(SignedData_t, encapContentInfo, ContentInfo),
    ASN1_IMP_SET_OF_OPT(SignedData_t, certificates, ASN1_ANY, 0),
    ASN1_IMP_SET_OF_OPT(SignedData_t, crls, ASN1_ANY, 1),
    ASN1_SET_OF(SignedData_t, signerInfos, SignerInfo),
} ASN1_SEQUENCE_END_name(SignedData_t, SignedData)

ASN1_ITEM_TEMPLATE(SignedAttributesDer) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SET_OF, 0, signedAttrs, X509_ATTRIBUTE)
ASN1_ITEM_TEMPLATE_END(SignedAttributesDer)

// clang-format on

}  // namespace ofd::p7
