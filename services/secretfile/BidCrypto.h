// The cryptography of sealed bid files, all of it over OpenSSL and libgfshare, one unit per
// concern: certificates and keys (BidCertificates.h), the key schedule (BidKeySchedule.h), the
// chunk cipher (BidChunkCipher.h), the content key's shares and their wrapping to the openers
// (BidShares.h) and the bidder's signature (BidSignature.h).
#pragma once

#include "BidCertificates.h"
#include "BidChunkCipher.h"
#include "BidKeySchedule.h"
#include "BidShares.h"
#include "BidSignature.h"
