/* Loads the library at run time from the full path given, as an application
 * in another folder does, starts it and prints what the algorithm exports
 * give: "start=R biometrics=R". */
#include <stdio.h>

#include "kvt/KVTBasic.h"

#ifdef _WIN32
#include <windows.h>
#define OPEN(path) ((void*)LoadLibraryA(path))
#define SYMBOL(library, name) ((void*)GetProcAddress((HMODULE)(library), name))
#else
#include <dlfcn.h>
#define OPEN(path) dlopen(path, RTLD_NOW)
#define SYMBOL(library, name) dlsym(library, name)
#endif

typedef int(KVT_CALL* StartFunction)(KVT_MessageCallback, void*);
typedef int(KVT_CALL* StopFunction)(void);
typedef int(KVT_CALL* BiometricsFunction)(KVT_BiometricsInfo*);

static void KVT_CALLBACK OnMessage(KVT_Message* message, void* userValue) {
    (void)message;
    (void)userValue;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    void* library = OPEN(argv[1]);
    if (library == NULL) {
        printf("not loaded\n");
        return 1;
    }
    StartFunction start = (StartFunction)SYMBOL(library, "KVT_Start");
    StopFunction stop = (StopFunction)SYMBOL(library, "KVT_Stop");
    BiometricsFunction biometrics = (BiometricsFunction)SYMBOL(library, "KVT_GetBiometricsInfo");
    if (start == NULL || stop == NULL || biometrics == NULL) return 1;
    KVT_BiometricsInfo info = {0};
    info.size = sizeof info;
    const int started = start(OnMessage, NULL);
    const int result = biometrics(&info);
    printf("\nstart=%d biometrics=%d\n", started, result);
    fflush(stdout);
    if (started == 0) stop();
    return 0;
}
