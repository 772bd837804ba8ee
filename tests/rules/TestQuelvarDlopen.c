/* Binds libquelvar.so the way the workstation does: dlopen, then every export by name with
 * dlsym. Fetches the fixed test tender from the development server and reads it back through
 * all 18 exports. Exits 0 when every check passes. */
#define _XOPEN_SOURCE 700

#include "Quelvar.h"

#include <dlfcn.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(condition)                                                                                     \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                    \
            ++failures;                                                                                      \
        }                                                                                                    \
    } while (0)

static struct
{
    int (*CreateHandle)(CQuelvar**);
    int (*ReleaseHandle)(CQuelvar*);
    int (*SetTargetUrl)(CQuelvar*, const char*);
    int (*SetProxy)(CQuelvar*, const char*, const char*, const char*, const char*);
    int (*GetRules)(CQuelvar*, const char*, int);
    int (*GetTotalNum)(CQuelvar*, int*);
    int (*GetMinNum)(CQuelvar*, int*);
    int (*GetCertCount)(CQuelvar*, int*);
    int (*GetCertLen)(CQuelvar*, int, int*);
    int (*GetCert)(CQuelvar*, int, unsigned char*, int*);
    int (*GetOpenTime)(CQuelvar*, char*, int*);
    int (*GetOpenOrg)(CQuelvar*, char*, int*);
    int (*GetProjectName)(CQuelvar*, char*, int*);
    int (*GetEncAlgo)(CQuelvar*, char*, int*);
    int (*GetHashAlgo)(CQuelvar*, char*, int*);
    int (*GetFileLen)(CQuelvar*, long*);
    int (*GetFileData)(CQuelvar*, char*);
    int (*CompareFile)(CQuelvar*, const char*, int);
} quelvar;

static int Bind(void* library)
{
    struct
    {
        const char* name;
        void** slot;
    } exports[] = {
        { "QuelvarCreateHandle", (void**)&quelvar.CreateHandle },
        { "QuelvarReleaseHandle", (void**)&quelvar.ReleaseHandle },
        { "QuelvarSetTargetUrl", (void**)&quelvar.SetTargetUrl },
        { "QuelvarSetProxy", (void**)&quelvar.SetProxy },
        { "QuelvarGetRules", (void**)&quelvar.GetRules },
        { "QuelvarGetTotalNum", (void**)&quelvar.GetTotalNum },
        { "QuelvarGetMinNum", (void**)&quelvar.GetMinNum },
        { "QuelvarGetCertCount", (void**)&quelvar.GetCertCount },
        { "QuelvarGetCertLen", (void**)&quelvar.GetCertLen },
        { "QuelvarGetCert", (void**)&quelvar.GetCert },
        { "QuelvarGetOpenTime", (void**)&quelvar.GetOpenTime },
        { "QuelvarGetOpenOrg", (void**)&quelvar.GetOpenOrg },
        { "QuelvarGetProjectName", (void**)&quelvar.GetProjectName },
        { "QuelvarGetEncAlgo", (void**)&quelvar.GetEncAlgo },
        { "QuelvarGetHashAlgo", (void**)&quelvar.GetHashAlgo },
        { "QuelvarGetFileLen", (void**)&quelvar.GetFileLen },
        { "QuelvarGetFileData", (void**)&quelvar.GetFileData },
        { "QuelvarCompareFile", (void**)&quelvar.CompareFile },
    };
    int bound = 0;
    for (size_t i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
        *exports[i].slot = dlsym(library, exports[i].name);
        if (*exports[i].slot == NULL) {
            fprintf(stderr, "missing export %s\n", exports[i].name);
        } else {
            ++bound;
        }
    }
    return bound;
}

static int CopyFile(const char* from, const char* to)
{
    FILE* in = fopen(from, "rb");
    FILE* out = fopen(to, "wb");
    int copied = in != NULL && out != NULL;
    char buffer[4096];
    size_t count = 0;
    while (copied && (count = fread(buffer, 1, sizeof buffer, in)) > 0) {
        copied = fwrite(buffer, 1, count, out) == count;
    }
    if (in != NULL) {
        fclose(in);
    }
    if (out != NULL && fclose(out) != 0) {
        copied = 0;
    }
    return copied;
}

/* The server gets a copy of the checked-in tender, so that nothing it writes lands in the
 * source tree. */
static int CopyTender(char* folder)
{
    char path[512];
    char rules[512];
    snprintf(rules, sizeof rules, "%s/rules", folder);
    if (mkdir(rules, 0700) != 0) {
        return 0;
    }
    snprintf(path, sizeof path, "%s/tender.json", folder);
    if (!CopyFile(TENDER_DIR "/tender.json", path)) {
        return 0;
    }
    snprintf(path, sizeof path, "%s/rules/KV-TEST-001.xml", folder);
    return CopyFile(TENDER_DIR "/rules/KV-TEST-001.xml", path);
}

static int RemoveEntry(const char* path, const struct stat* status, int kind, struct FTW* walk)
{
    (void)status;
    (void)kind;
    (void)walk;
    return remove(path);
}

/* Starts the development server on the tender folder; returns its port, 0 on failure. */
static int StartServer(const char* tender, pid_t* pid)
{
    int ends[2];
    if (pipe(ends) != 0) {
        return 0;
    }
    *pid = fork();
    if (*pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        execl(DEVSERVER_PATH, DEVSERVER_PATH, "--tender", tender, (char*)NULL);
        _exit(127);
    }
    close(ends[1]);
    char line[128] = { 0 };
    size_t used = 0;
    while (used + 1 < sizeof line && read(ends[0], line + used, 1) == 1 && line[used] != '\n') {
        ++used;
    }
    close(ends[0]);
    int port = 0;
    if (sscanf(line, "listening on http://127.0.0.1:%d", &port) != 1) {
        return 0;
    }
    return port;
}

/* Reads a text through a getter in the workstation's two calls; the caller frees it. */
static char* Text(int (*getter)(CQuelvar*, char*, int*), CQuelvar* handle)
{
    int length = -1;
    CHECK(getter(handle, NULL, &length) == QUELVAR_OK);
    char* text = calloc((size_t)length + 1, 1);
    CHECK(getter(handle, text, &length) == QUELVAR_OK);
    return text;
}

static void CheckText(int (*getter)(CQuelvar*, char*, int*), CQuelvar* handle, const char* expected)
{
    char* text = Text(getter, handle);
    if (strcmp(text, expected) != 0) {
        fprintf(stderr, "text \"%s\", expected \"%s\"\n", text, expected);
        ++failures;
    }
    free(text);
}

static char* ReadWholeFile(const char* path, long* length)
{
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return NULL;
    }
    fseek(file, 0, SEEK_END);
    *length = ftell(file);
    fseek(file, 0, SEEK_SET);
    char* bytes = malloc((size_t)*length);
    if (fread(bytes, 1, (size_t)*length, file) != (size_t)*length) {
        free(bytes);
        bytes = NULL;
    }
    fclose(file);
    return bytes;
}

static void CheckFetchedRules(CQuelvar* handle, int port)
{
    char url[64];
    snprintf(url, sizeof url, "http://127.0.0.1:%d/rules", port);
    CHECK(quelvar.SetTargetUrl(handle, url) == QUELVAR_OK);
    static const char query[] = "projectid=KV-TEST-001";
    CHECK(quelvar.GetRules(handle, query, (int)strlen(query)) == QUELVAR_OK);

    int total = 0, minimum = 0, count = 0;
    CHECK(quelvar.GetTotalNum(handle, &total) == QUELVAR_OK && total == 2);
    CHECK(quelvar.GetMinNum(handle, &minimum) == QUELVAR_OK && minimum == 1);
    CHECK(quelvar.GetCertCount(handle, &count) == QUELVAR_OK && count == 2);
    for (int index = 0; index < count; ++index) {
        int length = 0;
        CHECK(quelvar.GetCertLen(handle, index, &length) == QUELVAR_OK && length > 100);
        unsigned char* cert = malloc((size_t)length);
        int participate = -1;
        CHECK(quelvar.GetCert(handle, index, cert, &participate) == QUELVAR_OK);
        CHECK(participate == (index == 0 ? 1 : 0));
        /* Base64 of a DER certificate of this size starts with the SEQUENCE header. */
        CHECK(memcmp(cert, "MII", 3) == 0);
        free(cert);
    }
    int length = 0;
    unsigned char byte = 0;
    CHECK(quelvar.GetCertLen(handle, count, &length) == QUELVAR_INDEX_OUT_OF_RANGE);
    CHECK(quelvar.GetCert(handle, -1, &byte, &length) == QUELVAR_INVALID_ARGUMENT);

    CheckText(quelvar.GetProjectName, handle, "Harbour dredging");
    CheckText(quelvar.GetOpenTime, handle, "2026-12-08 09:30:00");
    CheckText(quelvar.GetOpenOrg, handle, "Port authority");
    CheckText(quelvar.GetEncAlgo, handle, "SM4");
    CheckText(quelvar.GetHashAlgo, handle, "SM3");

    long expectedLength = 0;
    char* expected = ReadWholeFile(TENDER_DIR "/rules/KV-TEST-001.xml", &expectedLength);
    CHECK(expected != NULL);
    long fileLength = 0;
    CHECK(quelvar.GetFileLen(handle, &fileLength) == QUELVAR_OK && fileLength == expectedLength);
    if (expected != NULL && fileLength == expectedLength) {
        char* file = malloc((size_t)fileLength);
        CHECK(quelvar.GetFileData(handle, file) == QUELVAR_OK);
        CHECK(memcmp(file, expected, (size_t)fileLength) == 0);
        free(file);
        CHECK(quelvar.CompareFile(handle, expected, (int)expectedLength) == QUELVAR_OK);
        CHECK(quelvar.CompareFile(handle, expected, (int)expectedLength - 1) == QUELVAR_LENGTH_DIFFERS);
        expected[expectedLength / 2] ^= 1;
        CHECK(quelvar.CompareFile(handle, expected, (int)expectedLength) == QUELVAR_DATA_DIFFERS);
        CHECK(quelvar.CompareFile(handle, expected, 0) == QUELVAR_INVALID_ARGUMENT);
    }
    free(expected);
}

static void CheckFreshHandle(CQuelvar* handle)
{
    int length = 77, number = 0;
    long fileLength = 0;
    CHECK(quelvar.GetOpenTime(handle, NULL, &length) == QUELVAR_OK && length == 0);
    CHECK(quelvar.GetTotalNum(handle, &number) == QUELVAR_NO_RULES);
    CHECK(quelvar.GetFileLen(handle, &fileLength) == QUELVAR_NO_RULES);
    CHECK(quelvar.SetProxy(handle, NULL, NULL, NULL, NULL) == QUELVAR_OK);
    CHECK(quelvar.SetTargetUrl(handle, "/not/a/url") == QUELVAR_NOT_A_URL);
}

int main(void)
{
    void* library = dlopen(QUELVAR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    if (Bind(library) != 18) {
        return 1;
    }
    char tender[] = "/tmp/kelvane-quelvar-c-XXXXXX";
    if (mkdtemp(tender) == NULL || !CopyTender(tender)) {
        fprintf(stderr, "cannot set up the tender folder %s\n", tender);
        return 1;
    }
    pid_t server = -1;
    const int port = StartServer(tender, &server);
    CHECK(port > 0);

    CQuelvar* handle = NULL;
    CHECK(quelvar.CreateHandle(&handle) == QUELVAR_OK && handle != NULL);
    CheckFreshHandle(handle);
    CHECK(quelvar.ReleaseHandle(handle) == QUELVAR_OK);
    CHECK(quelvar.ReleaseHandle(NULL) == QUELVAR_OK);

    if (port > 0) {
        CHECK(quelvar.CreateHandle(&handle) == QUELVAR_OK);
        CheckFetchedRules(handle, port);
        CHECK(quelvar.ReleaseHandle(handle) == QUELVAR_OK);
    }
    if (server > 0) {
        kill(server, SIGTERM);
        int status = 0;
        waitpid(server, &status, 0);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    nftw(tender, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    dlclose(library);
    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}
