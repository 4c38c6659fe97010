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
 *
 * The callback
 * ------------
 * The callback runs on one thread of the library (the message thread), one
 * message at a time, in the order the events happened. Every export may be
 * called from inside it, KVT_Stop included (see there). While the callback
 * runs no further message is delivered, so a callback that blocks (a
 * synchronous capture, a long match) holds up the messages behind it; at most
 * 100 messages wait, and a further one pushes out the oldest.
 *
 * Ownership
 * ---------
 * The library never keeps a pointer the application passes in beyond the
 * call, and never frees one. Buffers it fills (device lists, texts, the image
 * of a synchronous capture, templates) belong to the application. Only the
 * message handed to the callback belongs to the library (see
 * KVT_MessageCallback).
 *
 * Every result is one of the KVT_RESULT_* codes below unless the function
 * says otherwise; KVT_RESULT_FAILED is also what any function returns when an
 * internal error is caught at the boundary (it is logged).
 *
 * Log
 * ---
 * The library logs to Logfiles/KVTDeviceManager.log in its data folder and, by
 * default, echoes every line to standard output. LogToConsole=0 in the
 * unnamed section of KVTDeviceManager.ini turns the echo off; the environment
 * variable KVT_LOG_CONSOLE overrides the file ("0" off, "1" on).
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
/* The operation failed: unknown sensor, sensor error, internal error. */
#define KVT_RESULT_FAILED (-1)
/* The library is not running, or is stopping. */
#define KVT_RESULT_NOT_RUNNING (-2)
/* A buffer is too small; the needed count or size was written back. */
#define KVT_RESULT_TOO_SMALL (-3)
/* The function delivers through the callback, and KVT_Start was given none. */
#define KVT_RESULT_NO_CALLBACK (-4)
/* A missing argument, a size field that is not sizeof the record, or a device id too long. */
#define KVT_RESULT_BAD_ARGUMENT (-5)
/* Another device manager runs on this machine (or on this KVT_DATA_DIR). */
#define KVT_RESULT_START_FAILED (-6)
/* No fingerprint algorithm is loaded (or the library is not running). */
#define KVT_RESULT_NO_ALGORITHM (-7)

/*
 * Message types delivered to the callback (KVT_Message.type). deviceId and
 * additionalInfo per type:
 *   KVT_MSG_UNSPECIFIED        no event for 30 s; both empty
 *   KVT_MSG_NEW_DEVICE         a sensor joined; its device id, additionalInfo empty
 *   KVT_MSG_LOST_DEVICE        a sensor left; its device id, additionalInfo empty
 *   KVT_MSG_CAPTURED_IMAGE     an asynchronous capture ended with a picture in
 *                              capturedData; the sensor's id, additionalInfo empty
 *   KVT_MSG_TIMEOUT            an asynchronous capture ended without a finger;
 *                              the sensor's id, additionalInfo empty
 *   KVT_MSG_CAPTURE_CANCELLED  KVT_CancelAsyncCapture ended a capture; the
 *                              sensor's id, additionalInfo the id of the client
 *                              that cancelled ("KVTBasic" for this library)
 *   KVT_MSG_GOING_OFFLINE      the last message before KVT_Stop completes; both empty
 */
#define KVT_MSG_UNSPECIFIED 0
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

/* One sensor. */
typedef struct KVT_DeviceInfo {
    int size;           /* sizeof(KVT_DeviceInfo) */
    char deviceId[256]; /* the id the device functions take; stable while the sensor stays */
    char firmwareVersion[101];
    int connectionType;    /* KVT_CONNECTION_* */
    int deviceType;        /* KVT_DEVICE_* */
    char description[256]; /* model name, such as "Kelo U2 USB" */
    char serialNumber[101];
} KVT_DeviceInfo;

/* One captured picture. */
typedef struct KVT_CapturedData {
    int size;             /* sizeof(KVT_CapturedData) */
    int LFDLevel;         /* live finger detection level 0 (fake or not measured) to 5 (live) */
    char LFDData[256];    /* the measurement behind the level, for diagnosis */
    char properties[256]; /* capture properties in force, 32 hexadecimal characters */
    unsigned char* image; /* the complete BMP file */
    /* In: capacity of the caller's image buffer. Out: size of the image. */
    unsigned int imageSize;
} KVT_CapturedData;

/* One event, as the callback receives it. */
typedef struct KVT_Message {
    int size;                 /* sizeof(KVT_Message) */
    int type;                 /* KVT_MSG_* */
    char deviceId[256];       /* the sensor the event is about, or empty (see KVT_MSG_*) */
    char additionalInfo[256]; /* free text per type (see KVT_MSG_*) */
    /* Filled when type is KVT_MSG_CAPTURED_IMAGE; otherwise zero apart from its size. */
    KVT_CapturedData capturedData;
} KVT_Message;

/* A fingerprint template of the loaded algorithm. */
typedef struct KVT_Template {
    int size;                  /* sizeof(KVT_Template) */
    unsigned char data[10000]; /* the template; its first bytesEffective bytes count */
    int bytesEffective;
    int quality;       /* the algorithm's quality of the picture, 0..100 */
    int minutiaeCount; /* minutiae the template holds */
    int type;          /* the algorithm's template type and subType (KVT_BiometricsInfo) */
    int subType;
    char properties[256]; /* the picture's properties text, from KVT_CapturedData */
} KVT_Template;

/* The outcome of KVT_MatchTemplate. */
typedef struct KVT_MatchResult {
    int size;    /* sizeof(KVT_MatchResult) */
    int success; /* 0: the probe matched, 1: it did not */
    int index;   /* position of the best reference, -1 when nothing could be compared */
    int quality; /* the probe's quality */
    int score;   /* the best score; higher is more similar */
} KVT_MatchResult;

/* The loaded algorithm. */
typedef struct KVT_BiometricsInfo {
    int size; /* sizeof(KVT_BiometricsInfo) */
    char name[20];
    char version[10];
    char info[50]; /* vendor notice */
    int type;      /* template type and subType it makes */
    int subType;
    unsigned int capabilities;
} KVT_BiometricsInfo;

/*
 * The application's callback, given to KVT_Start.
 *   message    the event. It and the image bytes it points to belong to the
 *              library and stay valid until 100 further messages have been
 *              delivered or the library stops; copy what you keep, never free it.
 *   userValue  the value given to KVT_Start, untouched.
 * Runs on the library's message thread, one call at a time (see "The callback"
 * above); every export may be called from it.
 */
typedef void(KVT_CALLBACK* KVT_MessageCallback)(KVT_Message* message, void* userValue);

/*
 * Starts the library: reads the configuration, opens the log, loads the
 * fingerprint algorithm, starts finding sensors and starts the message thread.
 *   callback   receives every event; may be NULL, and the functions that
 *              deliver through it then return KVT_RESULT_NO_CALLBACK (the call
 *              also pauses 2 s before it returns).
 *   userValue  passed to every call of callback; the library does not use it.
 * Returns KVT_RESULT_OK, also when the library runs already (nothing changes);
 * KVT_RESULT_START_FAILED when another device manager runs on this machine;
 * KVT_RESULT_FAILED when the data folder cannot be written, the device
 * manager does not come up within 10 s (it is then stopped again) or a device
 * manager of an earlier run has still not ended. A failed start says why in
 * the log, or on standard error when no log can be written. Settings in
 * KVTDeviceManager.ini that had to be repaired are logged as warnings; a file
 * that cannot be read or parsed is kept as KVTDeviceManager.ini.bad. A
 * missing algorithm does not fail the start (the biometric functions then
 * return KVT_RESULT_NO_ALGORITHM).
 * Any thread; takes turns with KVT_Stop. From inside the callback it returns
 * KVT_RESULT_OK at once, as the library runs.
 */
KVT_API int KVT_CALL KVT_Start(KVT_MessageCallback callback, void* userValue);

/*
 * Stops the library. Calls still inside it are given up to 5 s to finish
 * first. The callback receives the KVT_MSG_LOST_DEVICE messages of the
 * sensors and, as its last message, KVT_MSG_GOING_OFFLINE, unless it is still
 * busy with an earlier message for more than 0.5 s. Every thread the library
 * started has ended when it returns KVT_RESULT_OK. The log file is closed;
 * lines logged while stopped are appended to it.
 * Returns KVT_RESULT_OK, also when the library is not running;
 * KVT_RESULT_FAILED when the device manager did not end within 10 s.
 * Any thread; takes turns with KVT_Start. May be called from inside the
 * callback: the stop then completes as from any other thread (the message
 * thread that runs the callback ends once the callback returns), takes up to
 * 0.5 s longer, and the callback that called it receives no
 * KVT_MSG_GOING_OFFLINE.
 */
KVT_API int KVT_CALL KVT_Stop(void);

/*
 * Whether the library runs: 0 when it does, -1 when it does not (stopped, or
 * stopping). Any thread, also from inside the callback.
 */
KVT_API int KVT_CALL KVT_IsRunning(void);

/*
 * Writes the library version ("2.1.0.7") into buffer.
 *   buffer  the caller's, size bytes; receives the text and its terminating zero.
 * Returns KVT_RESULT_OK; KVT_RESULT_FAILED, with an empty text when size > 0,
 * when buffer is NULL or too small. Needs no started library. Any thread, also
 * from inside the callback.
 */
KVT_API int KVT_CALL KVT_GetVersion(char* buffer, unsigned int size);

/*
 * Byte size of the BMP file of a captured image: ((width + 3) & ~3) * height +
 * 1078; 0 when that does not fit into 32 bits (not a result code). Needs no
 * started library. Any thread, also from inside the callback.
 */
KVT_API unsigned int KVT_CALL KVT_CalcImageSize(unsigned int width, unsigned int height);

/*
 * Lists the connected sensors.
 *   array  the caller's, *count records; may be NULL when *count is 0.
 *   count  in: the capacity of array; out: the number of sensors.
 * Returns KVT_RESULT_OK; KVT_RESULT_TOO_SMALL when the sensors do not fit
 * (nothing is written into array, *count receives the number needed);
 * KVT_RESULT_BAD_ARGUMENT when count is NULL; KVT_RESULT_NOT_RUNNING;
 * KVT_RESULT_FAILED. Any thread, also from inside the callback.
 */
KVT_API int KVT_CALL KVT_GetDeviceList(KVT_DeviceInfo* array, unsigned int* count);

/*
 * Describes one sensor.
 *   deviceId  from KVT_GetDeviceList or a message.
 *   info      the caller's; info->size must be sizeof(KVT_DeviceInfo).
 * Returns KVT_RESULT_OK; KVT_RESULT_BAD_ARGUMENT for a NULL argument or a
 * wrong size; KVT_RESULT_FAILED for an unknown sensor; KVT_RESULT_NOT_RUNNING.
 * Any thread, also from inside the callback.
 */
KVT_API int KVT_CALL KVT_GetDeviceInformation(const char* deviceId, KVT_DeviceInfo* info);

/*
 * Captures an image.
 *   deviceId  the sensor.
 *   timeout   0: capture now, synchronously, into data. Above 0: wait up to
 *             timeout seconds for a finger; the call returns at once and the
 *             outcome arrives through the callback as one message:
 *             KVT_MSG_CAPTURED_IMAGE, KVT_MSG_TIMEOUT or KVT_MSG_CAPTURE_CANCELLED.
 *   data      synchronous: the caller's; set data->size, point data->image at
 *             a buffer of the caller's and put its capacity into data->imageSize
 *             (KVT_CalcImageSize gives it). On return data->image holds the BMP
 *             file and data->imageSize its size. Asynchronous: may be NULL.
 * Returns KVT_RESULT_OK; KVT_RESULT_TOO_SMALL when the picture does not fit
 * (data->imageSize receives the needed size, the picture is lost);
 * KVT_RESULT_BAD_ARGUMENT for a missing argument, a wrong size or a negative
 * timeout; KVT_RESULT_NO_CALLBACK for an asynchronous capture without a
 * callback; KVT_RESULT_FAILED for an unknown or busy sensor or a failed
 * capture; KVT_RESULT_NOT_RUNNING.
 * Any thread. From inside the callback a synchronous capture holds up the
 * messages until it returns.
 */
KVT_API int KVT_CALL KVT_CaptureImage(const char* deviceId, int timeout, KVT_CapturedData* data);

/*
 * Cancels the asynchronous capture of a sensor and waits up to 1 s for it to
 * end; the capture then posts KVT_MSG_CAPTURE_CANCELLED.
 *   deviceAvailable  the caller's; receives 1 when the sensor is free again, else 0.
 * Returns KVT_RESULT_OK; KVT_RESULT_NO_CALLBACK without a callback;
 * KVT_RESULT_BAD_ARGUMENT for a NULL argument; KVT_RESULT_FAILED for an
 * unknown sensor or one without a capture to cancel; KVT_RESULT_NOT_RUNNING.
 * Any thread, also from inside the callback.
 */
KVT_API int KVT_CALL KVT_CancelAsyncCapture(const char* deviceId, int* deviceAvailable);

/*
 * Shows a result on the sensor's lights: result is one of KVT_FEEDBACK_*.
 * Returns KVT_RESULT_OK; KVT_RESULT_BAD_ARGUMENT for a NULL device id;
 * KVT_RESULT_FAILED for an unknown sensor, while a capture runs on it, or when
 * the sensor does not take the command; KVT_RESULT_NOT_RUNNING.
 * Any thread, also from inside the callback.
 */
KVT_API int KVT_CALL KVT_IndicateResult(const char* deviceId, int result);

/*
 * Sets a capture property of the sensor for its next captures: ImageMode
 * (Stamp, Photo), LFD (true, false), FastMode (true, false), PictureSize (ROI,
 * Half, Full), Inverted (true, false); names and values ignore case, and the
 * value "default" (or the key "default") restores defaults. key and value are
 * read during the call only.
 * Returns KVT_RESULT_OK; KVT_RESULT_BAD_ARGUMENT for a NULL argument;
 * KVT_RESULT_FAILED for an unknown sensor, key or value; KVT_RESULT_NOT_RUNNING.
 * Any thread (a change waits for a running synchronous capture), also from
 * inside the callback.
 */
KVT_API int KVT_CALL KVT_SetProperty(const char* deviceId, const char* key, const char* value);

/*
 * Reads a capture property.
 *   buffer  the caller's, size bytes; receives the value and its terminating zero.
 * Returns KVT_RESULT_OK; KVT_RESULT_BAD_ARGUMENT for a NULL argument;
 * KVT_RESULT_FAILED, with an empty text, for an unknown sensor or key or a
 * value that does not fit; KVT_RESULT_NOT_RUNNING.
 * Any thread, also from inside the callback.
 */
KVT_API int KVT_CALL KVT_GetProperty(const char* deviceId, const char* key, char* buffer,
                                     unsigned int size);

/*
 * Biometric functions. They need a started library whose fingerprint
 * algorithm could be loaded; otherwise they return KVT_RESULT_NO_ALGORITHM
 * (also for missing arguments). Size fields must hold sizeof the record. They
 * read and write only the caller's records. Any thread, several at once, also
 * from inside the callback (where a long match holds up the messages).
 */

/*
 * Extracts a template from a captured image (a BMP file, as KVT_CaptureImage
 * delivers it; other depths are converted to grey). An image taken with
 * ImageMode Photo, according to its properties text, is mirrored first.
 *   image   the picture, read only.
 *   result  the caller's; receives the template. Its size and properties are
 *           left as they are.
 * Returns KVT_RESULT_OK; KVT_RESULT_BAD_ARGUMENT for an undecodable image or
 * a wrong size field; KVT_RESULT_FAILED, with the template cleared, for an
 * image without a usable fingerprint; KVT_RESULT_NO_ALGORITHM.
 */
KVT_API int KVT_CALL KVT_ExtractTemplate(const KVT_CapturedData* image, KVT_Template* result);

/*
 * Identifies probe among count templates stored one after the other in
 * references (both read only). result (the caller's) receives success 0 when
 * the best reference matched, 1 when none did, and that reference's index (-1
 * when nothing could be compared).
 * Returns KVT_RESULT_OK; KVT_RESULT_FAILED for templates of another
 * algorithm, no references or a count of 0; KVT_RESULT_BAD_ARGUMENT for a
 * bytesEffective outside 0..10000 or a reference whose size field is not
 * sizeof(KVT_Template); KVT_RESULT_NO_ALGORITHM.
 */
KVT_API int KVT_CALL KVT_MatchTemplate(const KVT_Template* probe, const KVT_Template* references,
                                       unsigned int count, KVT_MatchResult* result);

/*
 * Describes the algorithm into info (the caller's): name, version, vendor
 * notice, template type and subType.
 * Returns KVT_RESULT_OK; KVT_RESULT_NO_ALGORITHM.
 */
KVT_API int KVT_CALL KVT_GetBiometricsInfo(KVT_BiometricsInfo* info);

#ifdef __cplusplus
}
#endif

#endif /* KVT_KVTBASIC_H */
