/*
 * KVTBasic: direct access to Kelo fingerprint sensors (USB and Ethernet) and to
 * fingerprint template extraction and matching.
 *
 * Usable from C and C++. Every export uses the C calling convention and returns
 * one of the KVT_RESULT_* codes unless stated otherwise. The callback runs on a
 * thread of the library, never on the caller's thread, and calls never overlap.
 *
 * Record layouts
 * --------------
 * Every public record starts with a 32-bit size field that must hold sizeof the
 * record. Fields keep their order and natural alignment on every target:
 *
 *   record               32-bit pointers (Windows x86)   64-bit pointers (x86-64)
 *   KVT_DeviceInfo       732                             732
 *   KVT_CapturedData     528                             536  (image pointer at 520)
 *   KVT_Message          1048                            1056 (captured data at 520)
 *   KVT_Template         10280                           10280
 *   KVT_MatchResult      20                              20
 *   KVT_BiometricsInfo   96                              96
 *
 * Text fields are zero-terminated and hold at most their width minus one
 * characters; longer texts are cut. A device id passed in is read up to its
 * terminating zero or 256 bytes, whichever comes first; one without a zero
 * within 256 bytes gives KVT_RESULT_BAD_ARGUMENT.
 *
 * Threads
 * -------
 * Every export may be called from any thread, also while another thread runs
 * KVT_Start or KVT_Stop. KVT_Start and KVT_Stop take turns. A device function
 * that arrives while the library stops, or after, returns
 * KVT_RESULT_NOT_RUNNING; a biometric function returns
 * KVT_RESULT_NO_ALGORITHM. KVT_Stop lets the calls already inside the library
 * finish before it releases what they use.
 */
#ifndef KVT_KVTBASIC_H
#define KVT_KVTBASIC_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(KVT_BUILDING_LIBRARY)
#define KVT_API __declspec(dllexport)
#else
#define KVT_API __declspec(dllimport)
#endif
#define KVT_CALL __cdecl
#define KVT_CALLBACK __stdcall
#else
#if defined(KVT_BUILDING_LIBRARY)
#define KVT_API __attribute__((visibility("default")))
#else
#define KVT_API
#endif
#define KVT_CALL
#define KVT_CALLBACK
#endif

/* Result codes of the exports. */
#define KVT_RESULT_OK 0
#define KVT_RESULT_FAILED (-1)
#define KVT_RESULT_NOT_RUNNING (-2)
#define KVT_RESULT_TOO_SMALL (-3) /* the needed count or size was written back */
#define KVT_RESULT_NO_CALLBACK (-4)
#define KVT_RESULT_BAD_ARGUMENT (-5) /* missing argument or wrong size field */
#define KVT_RESULT_START_FAILED (-6) /* another device manager runs on this machine */
#define KVT_RESULT_NO_ALGORITHM (-7)

/* Message types delivered to the callback. */
#define KVT_MSG_UNSPECIFIED 0 /* no event for 30 s, or the library is stopping */
#define KVT_MSG_NEW_DEVICE 1
#define KVT_MSG_LOST_DEVICE 2
#define KVT_MSG_CAPTURED_IMAGE 3
#define KVT_MSG_TIMEOUT 4
#define KVT_MSG_CAPTURE_CANCELLED 5
#define KVT_MSG_GOING_OFFLINE 6

/* Values of KVT_DeviceInfo.deviceType and connectionType. */
#define KVT_DEVICE_KELO_A 0
#define KVT_DEVICE_KELO_B 1
#define KVT_DEVICE_KELO_C 2
#define KVT_CONNECTION_USB 0
#define KVT_CONNECTION_ETH 1

/* Results shown with KVT_IndicateResult. */
#define KVT_FEEDBACK_FAILED 0
#define KVT_FEEDBACK_SUCCEEDED 1
#define KVT_FEEDBACK_TENTATIVE 2
#define KVT_FEEDBACK_ERROR 3

typedef struct KVT_DeviceInfo {
    int size; /* sizeof(KVT_DeviceInfo) */
    char deviceId[256];
    char firmwareVersion[101];
    int connectionType; /* KVT_CONNECTION_* */
    int deviceType;     /* KVT_DEVICE_* */
    char description[256];
    char serialNumber[101];
} KVT_DeviceInfo;

typedef struct KVT_CapturedData {
    int size;     /* sizeof(KVT_CapturedData) */
    int LFDLevel; /* live finger detection level */
    char LFDData[256];
    char properties[256]; /* capture properties in force, 32 hexadecimal characters */
    unsigned char* image; /* the complete BMP file */
    /* In: capacity of the caller's image buffer. Out: size of the image. */
    unsigned int imageSize;
} KVT_CapturedData;

typedef struct KVT_Message {
    int size; /* sizeof(KVT_Message) */
    int type; /* KVT_MSG_* */
    char deviceId[256];
    char additionalInfo[256];
    /* Filled when type is KVT_MSG_CAPTURED_IMAGE; otherwise zero apart from its size. */
    KVT_CapturedData capturedData;
} KVT_Message;

typedef struct KVT_Template {
    int size; /* sizeof(KVT_Template) */
    unsigned char data[10000];
    int bytesEffective;
    int quality;
    int minutiaeCount;
    int type;
    int subType;
    char properties[256];
} KVT_Template;

typedef struct KVT_MatchResult {
    int size;    /* sizeof(KVT_MatchResult) */
    int success; /* 0: the probe matched, 1: it did not */
    int index;
    int quality;
    int score;
} KVT_MatchResult;

typedef struct KVT_BiometricsInfo {
    int size; /* sizeof(KVT_BiometricsInfo) */
    char name[20];
    char version[10];
    char info[50];
    int type;
    int subType;
    unsigned int capabilities;
} KVT_BiometricsInfo;

/*
 * The application's callback. The message and its image bytes belong to the
 * library and stay valid until 100 further messages have been delivered or the
 * library stops; do not free them. userValue is the value given to KVT_Start.
 */
typedef void(KVT_CALLBACK* KVT_MessageCallback)(KVT_Message* message, void* userValue);

/*
 * Starts the library. callback may be NULL: the functions that deliver events
 * then return KVT_RESULT_NO_CALLBACK, and the call pauses 2 s before returning.
 * Calling it while running changes nothing and returns 0.
 * Returns KVT_RESULT_START_FAILED when another device manager runs on this
 * machine, and KVT_RESULT_FAILED when the data folder cannot be written, the
 * device manager does not come up within 10 s (it is then stopped again) or a
 * device manager of an earlier run has still not ended. A failed start says
 * why in the log, or on standard error when no log can be written. Settings in
 * KVTDeviceManager.ini that had to be repaired are logged as warnings; a file
 * that cannot be read or parsed is kept as KVTDeviceManager.ini.bad.
 */
KVT_API int KVT_CALL KVT_Start(KVT_MessageCallback callback, void* userValue);

/*
 * Stops the library. Calls still inside it are given time to finish first.
 * The callback receives the KVT_MSG_LOST_DEVICE messages of the sensors and,
 * as its last message, KVT_MSG_GOING_OFFLINE, unless it is still busy with an
 * earlier message for more than 0.5 s. The log file is closed; lines logged
 * while stopped are appended to it. Returns -1 when the device manager did
 * not end within 10 s. Calling it while stopped returns 0. It may be called
 * from the callback; it then takes up to 0.5 s longer.
 */
KVT_API int KVT_CALL KVT_Stop(void);

/* 0 when the library is running, -1 when it is not. */
KVT_API int KVT_CALL KVT_IsRunning(void);

/*
 * Writes the library version ("2.1.0.7") into buffer. Returns -1 and leaves an
 * empty text when buffer is too small for the text and its terminating zero.
 */
KVT_API int KVT_CALL KVT_GetVersion(char* buffer, unsigned int size);

/*
 * Byte size of the BMP file of a captured image: ((width + 3) & ~3) * height +
 * 1078; 0 when that does not fit into 32 bits. Needs no started library.
 */
KVT_API unsigned int KVT_CALL KVT_CalcImageSize(unsigned int width, unsigned int height);

/*
 * Lists the connected sensors. *count holds the capacity of array on input and
 * the number of sensors on output. When the sensors do not fit, nothing is
 * written into array, *count receives the number needed and the result is -3.
 */
KVT_API int KVT_CALL KVT_GetDeviceList(KVT_DeviceInfo* array, unsigned int* count);

/* Describes one sensor. info->size must be sizeof(KVT_DeviceInfo), else -5. */
KVT_API int KVT_CALL KVT_GetDeviceInformation(const char* deviceId, KVT_DeviceInfo* info);

/*
 * Captures an image. With timeout 0 the call blocks and fills data: set
 * data->size, point data->image at a buffer and put its capacity into
 * data->imageSize (KVT_CalcImageSize gives it). When the picture does not fit,
 * the needed size is written into data->imageSize, the image is lost and the
 * result is -3. With a timeout above 0 (seconds to wait for a finger) the call
 * returns at once and the outcome arrives through the callback as one message:
 * KVT_MSG_CAPTURED_IMAGE, KVT_MSG_TIMEOUT or KVT_MSG_CAPTURE_CANCELLED. data
 * may then be NULL. An asynchronous capture needs a callback (else -4).
 */
KVT_API int KVT_CALL KVT_CaptureImage(const char* deviceId, int timeout, KVT_CapturedData* data);

/*
 * Cancels an asynchronous capture and waits up to 1 s for it to end.
 * *deviceAvailable is 1 when the sensor is free again. Needs a callback (else -4).
 */
KVT_API int KVT_CALL KVT_CancelAsyncCapture(const char* deviceId, int* deviceAvailable);

/* Shows a result on the sensor's lights: KVT_FEEDBACK_*. Fails while a capture runs. */
KVT_API int KVT_CALL KVT_IndicateResult(const char* deviceId, int result);

/*
 * Sets a capture property of the sensor for the next captures: ImageMode
 * (Stamp, Photo), LFD (true, false), FastMode (true, false), PictureSize (ROI,
 * Half, Full), Inverted (true, false); names and values ignore case, and the
 * value "default" (or the key "default") restores defaults.
 */
KVT_API int KVT_CALL KVT_SetProperty(const char* deviceId, const char* key, const char* value);

/*
 * Reads a capture property into buffer (size bytes, terminating zero
 * included). An unknown key, or a value that does not fit, gives -1 and an
 * empty text.
 */
KVT_API int KVT_CALL KVT_GetProperty(const char* deviceId, const char* key, char* buffer,
                                     unsigned int size);

/*
 * Biometric functions. They need a started library whose fingerprint
 * algorithm could be loaded; otherwise they return KVT_RESULT_NO_ALGORITHM
 * (also for missing arguments). Size fields must hold sizeof the record.
 */

/*
 * Extracts a template from a captured image (a BMP file, as KVT_CaptureImage
 * delivers it; other depths are converted to grey). An image taken with
 * ImageMode Photo, according to its properties text, is mirrored first. An
 * undecodable image gives -5, an image without a usable fingerprint -1 with
 * the template cleared. result's size and properties are left as they are.
 */
KVT_API int KVT_CALL KVT_ExtractTemplate(const KVT_CapturedData* image, KVT_Template* result);

/*
 * Identifies probe among count templates stored one after the other in
 * references. result->success is 0 when the best reference matched, 1 when
 * none did; index is that reference's position (-1 when nothing could be
 * compared). Templates of another algorithm, no references or a count of 0
 * give -1; a bytesEffective outside 0..10000, or a reference whose size field
 * is not sizeof(KVT_Template), gives -5.
 */
KVT_API int KVT_CALL KVT_MatchTemplate(const KVT_Template* probe, const KVT_Template* references,
                                       unsigned int count, KVT_MatchResult* result);

/* Describes the algorithm: name, version, vendor notice, template type and subType. */
KVT_API int KVT_CALL KVT_GetBiometricsInfo(KVT_BiometricsInfo* info);

#ifdef __cplusplus
}
#endif

#endif /* KVT_KVTBASIC_H */
