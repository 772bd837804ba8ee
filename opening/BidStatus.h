// A bid file's opening state, as the status column of the bid-file list shows it.
#pragma once

enum class BidStatus : int
{
    Ready = 0, // verified, waiting to be decrypted
    Decrypting = 1,
    Decrypted = 2,
    Destroyed = 3, // opening, structure check, rules comparison or decryption failed
    DecryptCancelled = 4, // the file's threshold was still not met at decryption time
    DecryptFailed = 5, // the workstation could not write the bid out (no space, unwritable
                       // folder): the bid is sound and stays in its package for a rerun
};

// The language key of a status; "status_unknown" for any other value.
const char* BidStatusKey(BidStatus status);
