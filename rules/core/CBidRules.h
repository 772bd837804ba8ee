// The rules record of one tender: the threshold and the openers' certificates.
#pragma once

#include <vector>

// One opener of the tender.
struct COpenerCert
{
    // The bytes of the document's cert text, without a terminator; empty when the entry holds
    // no certificate bytes.
    std::vector<unsigned char> data;
    // 1 when the opener takes part ("YES"), else 0.
    int participate = 0;

    // Replaces the bytes with length bytes of text. A null text or a length not above 0 changes
    // nothing; when the copy cannot be allocated the entry is left without bytes.
    void SetData(const char* text, int length);
    int Length() const { return static_cast<int>(data.size()); }
};

struct CBidRules
{
    int total = 0; // m: the number of openers
    int minimum = 0; // n: how many of them must take part; not checked against m
    std::vector<COpenerCert> certs; // one per opener, in document order
};
