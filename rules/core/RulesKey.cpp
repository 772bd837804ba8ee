#include "RulesKey.h"

namespace rules {

void BuildRulesKey(unsigned char (&key)[kRulesKeyLength])
{
    key[0] = 0x6b;
    key[1] = 0x1d;
    key[2] = 0xc4;
    key[3] = 0x52;
    key[4] = 0x9e;
    key[5] = 0x07;
    key[6] = 0xa3;
    key[7] = 0x38;
    key[8] = 0xf1;
    key[9] = 0x5c;
    key[10] = 0x84;
    key[11] = 0x2e;
    key[12] = 0xd9;
    key[13] = 0x61;
    key[14] = 0x0b;
    key[15] = 0xb7;
}

void BuildRulesIv(unsigned char (&iv)[kRulesIvLength])
{
    iv[0] = 0x3a;
    iv[1] = 0xe8;
    iv[2] = 0x15;
    iv[3] = 0x92;
    iv[4] = 0x4f;
    iv[5] = 0xc6;
    iv[6] = 0x7d;
    iv[7] = 0x20;
    iv[8] = 0xab;
    iv[9] = 0x59;
    iv[10] = 0xe3;
    iv[11] = 0x06;
    iv[12] = 0x8c;
    iv[13] = 0x71;
    iv[14] = 0xd4;
    iv[15] = 0x2f;
}

} // namespace rules
