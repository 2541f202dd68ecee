/* C interface of the audio engine.
 *
 * Every function may be called from any thread at any time. Each call sets the calling
 * thread's error code (BASS_ErrorGetCode): BASS_OK on success, one of the BASS_ERROR_* codes
 * on failure. A handle that another thread frees during a call makes the call fail with
 * BASS_ERROR_HANDLE. Callbacks (syncs, file procedures, recording and download procedures) run
 * on engine threads, never on the mixer thread, and hold no engine lock: they may call any
 * function of this interface.
 *
 * Byte positions and lengths of a channel count bytes of decoded 16-bit PCM at the channel's
 * own sample rate and channel count.
 */
#ifndef VELLACAST_ENGINE_BASS_H
#define VELLACAST_ENGINE_BASS_H

#include <stdint.h>

#if defined(_WIN32)
#define BASSDEF(f) __declspec(dllimport) f
#else
#define BASSDEF(f) __attribute__((visibility("default"))) f
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef DWORD HSTREAM;  /* sample stream */
typedef DWORD HRECORD;  /* recording channel */
typedef DWORD HSYNC;    /* synchronizer */
typedef DWORD HPLUGIN;  /* decoder add-on */
typedef DWORD HCHANNEL; /* any channel */

/* Version of this engine: major in the high 16 bits, minor in the low 16 bits. */
#define BASSVERSION 0x00010000u

/* Error codes */
#define BASS_OK 0
#define BASS_ERROR_MEM 1
#define BASS_ERROR_FILEOPEN 2
#define BASS_ERROR_DRIVER 3
#define BASS_ERROR_BUFLOST 4
#define BASS_ERROR_HANDLE 5
#define BASS_ERROR_FORMAT 6
#define BASS_ERROR_POSITION 7
#define BASS_ERROR_INIT 8
#define BASS_ERROR_START 9
#define BASS_ERROR_SSL 10
#define BASS_ERROR_ALREADY 14
#define BASS_ERROR_NOTAUDIO 17
#define BASS_ERROR_NOCHAN 18
#define BASS_ERROR_ILLTYPE 19
#define BASS_ERROR_ILLPARAM 20
#define BASS_ERROR_NO3D 21
#define BASS_ERROR_NOEAX 22
#define BASS_ERROR_DEVICE 23
#define BASS_ERROR_NOPLAY 24
#define BASS_ERROR_FREQ 25
#define BASS_ERROR_NOTFILE 27
#define BASS_ERROR_NOHW 29
#define BASS_ERROR_EMPTY 31
#define BASS_ERROR_NONET 32
#define BASS_ERROR_CREATE 33
#define BASS_ERROR_NOFX 34
#define BASS_ERROR_NOTAVAIL 37
#define BASS_ERROR_DECODE 38
#define BASS_ERROR_DX 39
#define BASS_ERROR_TIMEOUT 40
#define BASS_ERROR_FILEFORM 41
#define BASS_ERROR_SPEAKER 42
#define BASS_ERROR_VERSION 43
#define BASS_ERROR_CODEC 44
#define BASS_ERROR_ENDED 45
#define BASS_ERROR_BUSY 46
#define BASS_ERROR_UNSTREAMABLE 47
#define BASS_ERROR_UNKNOWN -1

/* Configuration options (BASS_SetConfig / BASS_GetConfig) */
#define BASS_CONFIG_NET_TIMEOUT 11     /* connect time-out, ms (default 5000) */
#define BASS_CONFIG_NET_BUFFER 12      /* internet stream buffer, ms of audio (default 5000) */
#define BASS_CONFIG_NET_PREBUF 15      /* % of the buffer filled before playing (default 75) */
#define BASS_CONFIG_NET_PLAYLIST 21    /* 0 never, 1 file streams, 2 also internet streams */
#define BASS_CONFIG_NET_READTIMEOUT 37 /* no data for this long ends a stream, ms (0 = never) */
#define BASS_CONFIG_VERIFY_NET 52      /* bytes of an internet stream that decide its format */
#define BASS_CONFIG_NET_PREBUF_WAIT 60 /* stream creation waits for the pre-buffer (default 1) */
#define BASS_CONFIG_VERIFY 23          /* bytes of a file that decide its format (default 16000) */
/* Pointer options (BASS_SetConfigPtr / BASS_GetConfigPtr) */
#define BASS_CONFIG_NET_AGENT 16 /* const char*: default User-Agent of internet streams */
#define BASS_CONFIG_NET_PROXY 17 /* const char*: "[user:pass@]host:port", NULL = none */
#define BASS_CONFIG_FILENAME 75  /* const char*, read only: path of the engine library */

/* BASS_Init flags */
#define BASS_DEVICE_MONO 0x2
#define BASS_DEVICE_STEREO 0x8000

/* BASS_DEVICEINFO flags */
#define BASS_DEVICE_ENABLED 1
#define BASS_DEVICE_DEFAULT 2
#define BASS_DEVICE_INIT 4
#define BASS_DEVICE_LOOPBACK 8

typedef struct
{
    const char *name;   /* UTF-8 */
    const char *driver; /* backend's own id of the device */
    DWORD flags;
} BASS_DEVICEINFO;

typedef struct
{
    DWORD flags;
    DWORD hwsize;
    DWORD hwfree;
    DWORD freesam;
    DWORD free3d;
    DWORD minrate;
    DWORD maxrate;
    BOOL eax;
    DWORD minbuf;
    DWORD dsver;
    DWORD latency; /* ms */
    DWORD initflags;
    DWORD speakers;
    DWORD freq; /* output rate */
} BASS_INFO;

typedef struct
{
    DWORD flags;
    DWORD formats; /* channel count in the high 8 bits */
    DWORD inputs;
    BOOL singlein;
    DWORD freq;
} BASS_RECORDINFO;

/* Stream and sample flags */
#define BASS_SAMPLE_8BITS 1
#define BASS_SAMPLE_MONO 2
#define BASS_SAMPLE_LOOP 4
#define BASS_SAMPLE_FLOAT 256
#define BASS_STREAM_PRESCAN 0x20000
#define BASS_STREAM_AUTOFREE 0x40000 /* free the stream when it stops or ends */
#define BASS_STREAM_RESTRATE 0x80000
#define BASS_STREAM_BLOCK 0x100000 /* read the file in small blocks as it arrives */
#define BASS_STREAM_DECODE 0x200000
#define BASS_STREAM_STATUS 0x800000
#define BASS_UNICODE 0x80000000u

typedef struct
{
    DWORD freq;
    DWORD chans;
    DWORD flags;
    DWORD ctype;
    DWORD origres;
    HPLUGIN plugin;
    DWORD sample;
    const char *filename;
} BASS_CHANNELINFO;

/* Channel types (BASS_CHANNELINFO.ctype) */
#define BASS_CTYPE_STREAM 0x10000
#define BASS_CTYPE_STREAM_PUSH 0x10001
#define BASS_CTYPE_STREAM_WAV 0x10010
#define BASS_CTYPE_STREAM_MP3 0x10011
#define BASS_CTYPE_STREAM_AAC 0x10012
#define BASS_CTYPE_STREAM_OGG 0x10013 /* Ogg Vorbis */
#define BASS_CTYPE_STREAM_OPUS 0x10014
#define BASS_CTYPE_STREAM_FLAC 0x10015
#define BASS_CTYPE_STREAM_MP2 0x10016
#define BASS_CTYPE_STREAM_OTHER 0x1001f
#define BASS_CTYPE_RECORD 0x20000

/* Stream procedure and push streams */
typedef DWORD(STREAMPROC)(HSTREAM handle, void *buffer, DWORD length, void *user);
#define BASS_STREAMPROC_END 0x80000000u /* length flag: the stream ends after this data */
#define STREAMPROC_PUSH ((STREAMPROC *)-1)

/* User file streams */
#define STREAMFILE_NOBUFFER 0 /* the engine reads the file when it decodes */
#define STREAMFILE_BUFFER 1   /* the engine reads ahead on its own reading thread */
typedef void(FILECLOSEPROC)(void *user);
typedef QWORD(FILELENPROC)(void *user);                              /* 0 = unknown length */
typedef DWORD(FILEREADPROC)(void *buffer, DWORD length, void *user); /* 0 or -1 = end */
typedef BOOL(FILESEEKPROC)(QWORD offset, void *user);
typedef struct
{
    FILECLOSEPROC *close;
    FILELENPROC *length;
    FILEREADPROC *read;
    FILESEEKPROC *seek;
} BASS_FILEPROCS;

/* Internet streams */
typedef void(DOWNLOADPROC)(const void *buffer, DWORD length, void *user);

/* BASS_StreamGetFilePosition modes */
#define BASS_FILEPOS_CURRENT 0
#define BASS_FILEPOS_DOWNLOAD 1
#define BASS_FILEPOS_END 2
#define BASS_FILEPOS_START 3
#define BASS_FILEPOS_CONNECTED 4
#define BASS_FILEPOS_BUFFER 5

/* BASS_ChannelIsActive results */
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED 3
#define BASS_ACTIVE_PAUSED_DEVICE 4

/* Attributes */
#define BASS_ATTRIB_FREQ 1 /* playback rate in Hz; 0 = the stream's own rate */
#define BASS_ATTRIB_VOL 2  /* 0 (silent) .. 1 (full), may go above 1 */
/* A decoding stream's bitrate in kbit/s, read only: the codec's nominal rate when it is
 * constant, else the average over the first seconds of audio; 0 until that has been decoded. */
#define BASS_ATTRIB_BITRATE 12
#define BASS_ATTRIB_PUSH_LIMIT 17 /* most bytes that may wait in a push stream's queue */
/* EBU R128 loudness of the stream's decoded audio, before its volume. Setting LOUDNESS to 1
 * starts measuring what is decoded from then on (0 stops; 0 by default). LOUDNESS_M (momentary,
 * 400 ms) and LOUDNESS_S (short-term, 3 s) read the latest values in LUFS: minus infinity while
 * not measuring, before the first 100 ms and for digital silence; they cannot be set
 * (NOTAVAIL). The values lead what is heard by the decoded audio queued for the mixer. */
#define BASS_ATTRIB_LOUDNESS 32
#define BASS_ATTRIB_LOUDNESS_M 33
#define BASS_ATTRIB_LOUDNESS_S 34

/* Tags */
#define BASS_TAG_HTTP                                                                              \
    3 /* an internet stream's response headers: "name: value" strings, each                        \
       * ended by a NUL, with a NUL after the last */
#define BASS_TAG_META                                                                              \
    5 /* latest stream metadata, for example "StreamTitle='...';"; the titles                      \
       * of a chained Ogg stream's links take the same form */

/* Position modes */
#define BASS_POS_BYTE 0

/* BASS_ChannelGetLevelEx flags */
#define BASS_LEVEL_MONO 1   /* one value for all channels */
#define BASS_LEVEL_STEREO 2 /* two values: left and the average of the rest */
#define BASS_LEVEL_RMS 4    /* root mean square instead of the peak */

/* Sync types */
#define BASS_SYNC_POS 0
#define BASS_SYNC_END 2
#define BASS_SYNC_META 4
#define BASS_SYNC_STALL 6     /* data: 0 = stalled, 1 = resumed */
#define BASS_SYNC_DEV_FAIL 14 /* data: why the device failed, one of BASS_DEVFAIL_* */
#define BASS_SYNC_DEV_FORMAT 15
#define BASS_SYNC_ONETIME 0x80000000u /* flag: the sync fires once and is removed */
/* Flag (stall and end syncs): the sync is called on the mixing thread itself, in the period
 * that ran dry, rather than later from the event thread. It must be quick and must not remove
 * syncs of its channel or free it; it may set attributes of any channel, which then apply from
 * that period or the next. Once BASS_ChannelRemoveSync or BASS_StreamFree returns, such a sync
 * is not running and is not called again. The flag is ignored for other sync types. */
#define BASS_SYNC_MIXTIME 0x40000000u
typedef void(SYNCPROC)(HSYNC handle, DWORD channel, DWORD data, void *user);

/* Why an output device failed (BASS_SYNC_DEV_FAIL data) */
#define BASS_DEVFAIL_UNKNOWN 0 /* not known (recording devices) */
#define BASS_DEVFAIL_REMOVED 1 /* the output was removed: unplugged, or unloaded by the server */
#define BASS_DEVFAIL_SERVER 2  /* the connection to the sound server was lost */
#define BASS_DEVFAIL_FORMAT 3  /* the output changed its format and could not be reopened in it */
#define BASS_DEVFAIL_STOPPED 4 /* the output stopped taking audio */

/* Recording */
typedef BOOL(RECORDPROC)(HRECORD handle, const void *buffer, DWORD length, void *user);

/* Engine.
 * Every function sets the calling thread's error code; the codes each can set are listed. */

/* Numeric options: ILLTYPE (unknown option or value out of range). */
BASSDEF(BOOL) BASS_SetConfig(DWORD option, DWORD value);
/* The option's value, -1 on failure: ILLTYPE. */
BASSDEF(DWORD) BASS_GetConfig(DWORD option);
/* Text options (the text is copied; NULL clears it): ILLTYPE. */
BASSDEF(BOOL) BASS_SetConfigPtr(DWORD option, const void *value);
/* The option's text (NULL when unset); earlier results stay valid: ILLTYPE. */
BASSDEF(const void *) BASS_GetConfigPtr(DWORD option);
BASSDEF(DWORD) BASS_GetVersion(void);
/* The code the last engine call on this thread set. */
BASSDEF(int) BASS_ErrorGetCode(void);
/* Output 0 is "No sound", then the sound server's outputs (1 = its default): DEVICE (no such
 * output, the end of the list), ILLPARAM. The name and driver texts stay valid until at least
 * 256 other names and drivers have been handed out; copy them. */
BASSDEF(BOOL) BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO *info);
/* Opens an output (-1 = the default; without a sound server that is "No sound"): ALREADY,
 * DEVICE, DRIVER, FREQ. */
BASSDEF(BOOL) BASS_Init(int device, DWORD freq, DWORD flags, void *win, const void *clsid);
/* Closes the output and frees every channel: INIT. */
BASSDEF(BOOL) BASS_Free(void);
/* INIT, ILLPARAM. */
BASSDEF(BOOL) BASS_GetInfo(BASS_INFO *info);
/* The open output's number, -1 on failure: INIT. */
BASSDEF(DWORD) BASS_GetDevice(void);
/* Resume / pause the whole output (channels report BASS_ACTIVE_PAUSED_DEVICE): INIT. */
BASSDEF(BOOL) BASS_Start(void);
BASSDEF(BOOL) BASS_Pause(void);
/* The decoders are built in; "bassopus" and "basshls" load when their formats are available:
 * FILEOPEN (unknown add-on), FILEFORM (its decoders are missing). */
BASSDEF(HPLUGIN) BASS_PluginLoad(const char *file, DWORD flags);
/* HANDLE. */
BASSDEF(BOOL) BASS_PluginFree(HPLUGIN handle);

/* Streams */

/* A stream fed by BASS_StreamPutData (proc = STREAMPROC_PUSH) or by a procedure called on a
 * thread of its own (16-bit samples): INIT, ILLPARAM, FREQ, FORMAT, NOCHAN. */
BASSDEF(HSTREAM)
BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *user);
/* A local file (or a memory block when mem is TRUE); offset/length select part of it:
 * INIT, FILEOPEN, FILEFORM, CODEC, FORMAT, ILLPARAM, MEM, NOCHAN. */
BASSDEF(HSTREAM)
BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length, DWORD flags);
/* A caller's file procedures; STREAMFILE_BUFFER reads ahead on an engine thread; reads may
 * block (BASS_STREAM_BLOCK: no length, no seeking). The close procedure is called when the
 * stream goes: INIT, ILLTYPE, ILLPARAM, FILEOPEN, FILEFORM, CODEC, NOCHAN. */
BASSDEF(HSTREAM)
BASS_StreamCreateFileUser(DWORD system, DWORD flags, const BASS_FILEPROCS *procs, void *user);
/* An internet stream; header lines may follow the address after CR LF: INIT, ILLPARAM,
 * FILEOPEN, NONET, TIMEOUT, SSL, FILEFORM, CODEC. One of known length (from the offset) up to
 * BASS_NET_KEEP_WHOLE_MAX bytes, opened without BASS_STREAM_BLOCK, keeps all it downloads:
 * it seeks anywhere in what has arrived, and BASS_FILEPOS_BUFFER counts from its start. Other
 * streams keep a buffer of BASS_CONFIG_NET_BUFFER ahead of the decoder. */
#define BASS_NET_KEEP_WHOLE_MAX (512u * 1024u * 1024u)
BASSDEF(HSTREAM)
BASS_StreamCreateURL(const char *url, DWORD offset, DWORD flags, DOWNLOADPROC *proc, void *user);
/* HANDLE. */
BASSDEF(BOOL) BASS_StreamFree(HSTREAM handle);
/* Byte positions of the stream's input, -1 on failure: HANDLE, NOTFILE, ILLTYPE. */
BASSDEF(QWORD) BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode);
/* Queues whole frames into a push stream (BASS_STREAMPROC_END in length: nothing follows);
 * NULL/0 asks for the amount queued. Returns the bytes queued, -1 on failure: HANDLE,
 * NOTAVAIL (not a push stream), ENDED, ILLPARAM (part of a frame), BUSY (the queue would
 * pass BASS_ATTRIB_PUSH_LIMIT: nothing of the block is queued, try again later). */
BASSDEF(DWORD) BASS_StreamPutData(HSTREAM handle, const void *buffer, DWORD length);

/* Recording */
BASSDEF(BOOL) BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO *info);
BASSDEF(BOOL) BASS_RecordInit(int device);
BASSDEF(BOOL) BASS_RecordSetDevice(DWORD device);
BASSDEF(DWORD) BASS_RecordGetDevice(void);
BASSDEF(BOOL) BASS_RecordFree(void);
BASSDEF(BOOL) BASS_RecordGetInfo(BASS_RECORDINFO *info);
BASSDEF(HRECORD)
BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC *proc, void *user);

/* Channels */

/* Plays (restart: from the start, for seekable streams): HANDLE, INIT, POSITION. */
BASSDEF(BOOL) BASS_ChannelPlay(DWORD handle, BOOL restart);
/* HANDLE, NOPLAY, ALREADY. */
BASSDEF(BOOL) BASS_ChannelPause(DWORD handle);
/* Stops; an auto-free stream is freed: HANDLE. */
BASSDEF(BOOL) BASS_ChannelStop(DWORD handle);
/* HANDLE. */
BASSDEF(BOOL) BASS_ChannelFree(DWORD handle);
/* A BASS_ACTIVE_* state (STOPPED on failure): HANDLE. */
BASSDEF(DWORD) BASS_ChannelIsActive(DWORD handle);
/* freq is the stream's own rate: HANDLE, ILLPARAM. */
BASSDEF(BOOL) BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO *info);
/* HANDLE, ILLTYPE, ILLPARAM; NOTAVAIL for a measured (read-only) attribute. */
BASSDEF(BOOL) BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BASSDEF(BOOL) BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float *value);
/* Moves VOL or FREQ to `value` over `time` ms, while the channel plays: HANDLE, ILLTYPE,
 * ILLPARAM. */
BASSDEF(BOOL) BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time);
/* HANDLE. */
BASSDEF(BOOL) BASS_ChannelIsSliding(DWORD handle, DWORD attrib);
/* The current BASS_TAG_META text or the BASS_TAG_HTTP headers, NULL on failure: HANDLE,
 * NOTAVAIL. */
BASSDEF(const char *) BASS_ChannelGetTags(DWORD handle, DWORD tags);
/* -1 on failure: HANDLE, NOTAVAIL (unknown length: live or unsized input). */
BASSDEF(QWORD) BASS_ChannelGetLength(DWORD handle, DWORD mode);
/* The play position, -1 on failure: HANDLE, NOTAVAIL. */
BASSDEF(QWORD) BASS_ChannelGetPosition(DWORD handle, DWORD mode);
/* HANDLE, NOTAVAIL (cannot seek), POSITION. */
BASSDEF(BOOL) BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode);
/* Negative on failure: HANDLE, ILLPARAM. */
BASSDEF(double) BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
/* -1 on failure: HANDLE, ILLPARAM. */
BASSDEF(QWORD) BASS_ChannelSeconds2Bytes(DWORD handle, double pos);
/* Levels of the last `length` seconds (at most 1) that were played, before the channel's
 * volume: HANDLE, ILLPARAM, NOPLAY. */
BASSDEF(BOOL) BASS_ChannelGetLevelEx(DWORD handle, float *levels, float length, DWORD flags);
/* A sync called on the engine's event thread (no engine lock held), or with BASS_SYNC_MIXTIME on
 * the mixing thread: HANDLE, ILLTYPE, ILLPARAM. */
BASSDEF(HSYNC)
BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC *proc, void *user);
/* HANDLE. */
BASSDEF(BOOL) BASS_ChannelRemoveSync(DWORD handle, HSYNC sync);

#ifdef __cplusplus
}
#endif

#endif
