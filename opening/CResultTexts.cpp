#include "opening/CResultTexts.h"

#include "app/LanguageCatalogue.h"

#include <utility>

namespace {

struct CCodeKey
{
    int code;
    const char* key;
};

constexpr CCodeKey kRulesKeys[] = {
    { 1, "brf_failed" },
    { 2, "url_format_wrong" },
    { 3, "download_file_failed" },
    { 4, "parse_xmlelem_rule_failed" },
    { 5, "parse_xmlelem_m_failed" },
    { 6, "xmlelem_m_null" },
    { 7, "parse_xmlelem_n_failed" },
    { 8, "xmlelem_n_null" },
    { 9, "certcount_not_equal" },
    { 10, "no_opener_certattr" },
    { 11, "no_opener_participate_attr" },
    { 12, "no_opener_certdata" },
    { 13, "invalid_param" },
    { 14, "no_threshold_scheme" },
    { 15, "out_of_bounds" },
    { 16, "filelen_not_equal" },
    { 17, "data_not_equal" },
    { 18, "construct_decryptorhandle_failed" },
    { 19, "update_decryptor_failed" },
    { 20, "final_decryptor_failed" },
    { 21, "out_of_memory" },
    { 22, "parse_xmlelem_opentime_failed" },
    { 23, "parse_xmlelem_openorg_failed" },
};

constexpr CCodeKey kDecryptorKeys[] = {
    { 1, "out_of_memory" },
    { 2, "invalid_param" },
    { 3, "cert_exist" },
    { 4, "cert_cannot_enc" },
    { 5, "new_device_failed" },
    { 6, "not_support_algo" },
    { 7, "openfile_failed" },
    { 8, "read_filelen_failed" },
    { 9, "read_fileflag_failed" },
    { 10, "fileflag_invalid" },
    { 11, "seek_file_failed" },
    { 12, "read_require_data_failed" },
    { 13, "reda_fileheader_failed" },
    { 14, "read_fileheader_content_failed" },
    { 15, "copy_hashvalue_failed" },
    { 16, "read_datacontent_failed" },
    { 17, "read_datachunk_header_failed" },
    { 18, "writedata_failed" },
    { 19, "readdata_failed" },
    { 20, "construct_signcert_failed" },
    { 21, "get_publickey_failed" },
    { 22, "create_verifyhandle_failed" },
    { 23, "verify_failed" },
    { 24, "hashlen_too_short" },
    { 25, "hashlen_not_equal" },
    { 26, "file_shouldbe_ended" },
    { 27, "no_customdata" },
    { 28, "file_not_found" },
    { 29, "file_exist" },
    { 30, "get_cert_usage_failed" },
    { 31, "cert_cannot_enc" },
    { 32, "create_cipher_failed" },
    { 33, "cipher_setpadding_failed" },
    { 34, "cipher_final_failed" },
    { 35, "decrypt_condition_not_enough" },
    { 36, "filename_format_error" },
    { 37, "totalnum_lessthan_minnum" },
    { 38, "certnum_incorrect" },
    { 40, "number_cannot_lessthan_zero" },
    { 41, "get_certencode_failed" },
    { 42, "dup_cert_failed" },
    { 43, "cert_exist" },
    { 44, "get_keypair_failed" },
    { 45, "create_signhandle_failed" },
    { 46, "sign_update_failed" },
    { 47, "sign_fainal_failed" },
    { 48, "create_pseudodevice_failed" },
    { 49, "generate_random_failed" },
    { 50, "create_algo_param_failed" },
    { 51, "amm_encrypt_failed" },
    { 52, "privatekey_decrypt_failed" },
    { 53, "create_cert_form_encode_failed" },
    { 54, "secret_sharing_gen_param_failed" },
    { 55, "secret_sharing_gen_random_failed" },
    { 56, "secret_sharing_divide_failed" },
    { 57, "kdf_failed" },
    { 58, "secret_sharing_new_shadow_failed" },
    { 59, "secret_sharing_compose_failed" },
    { 60, "secret_len_wrong" },
    { 61, "no_cert_data" },
    { 62, "certlen_not_equal" },
    { 63, "updata_hash_failed" },
    { 64, "file_struct_incorrect" },
    { 65, "hash_verify_failed" },
};

bool Find(const std::map<int, std::wstring>& table, int code, std::wstring& text)
{
    const auto entry = table.find(code);
    if (entry == table.end())
        return false;
    text = entry->second;
    return true;
}

} // namespace

CResultTexts::CResultTexts()
{
    CLanguageCatalogue& catalogue = CLanguageCatalogue::Instance();
    catalogue.Load();
    for (const CCodeKey& entry : kRulesKeys)
        rulesTexts.emplace(entry.code, catalogue.GetText(entry.key));
    // Two codes of the rules library have texts of their own in every language.
    rulesTexts.emplace(24, L"规则文件为空");
    rulesTexts.emplace(25, L"解密规则文件时，没有找到项目名称");
    for (const CCodeKey& entry : kDecryptorKeys)
        decryptorTexts.emplace(entry.code, catalogue.GetText(entry.key));
}

const CResultTexts& CResultTexts::Instance()
{
    // A function-local static is built exactly once, whichever thread reports the first failure.
    static const CResultTexts texts;
    return texts;
}

bool CResultTexts::GetText(int table, int code, std::wstring& text)
{
    if (table == kRulesTable)
        return Find(Instance().rulesTexts, code, text);
    if (table == kDecryptorTable)
        return Find(Instance().decryptorTexts, code, text);
    return false;
}
