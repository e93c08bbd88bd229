/*
 * The engine's exported C interface.
 *
 * A host loads libengine.so (dlopen is fine), calls EInitialize once, registers
 * its callbacks, and calls EOpen once per camera slot, in slot order. Slots are
 * numbered 0..3; every export that takes an index ignores an index above 3 or
 * of an empty slot (a negative index, passed as unsigned, is above 3).
 *
 * Threads. Exports may be called from any host thread, but the host must not
 * call EUninitialize for a slot while it calls other exports for that slot.
 * The engine raises callbacks from its own threads (a slot's worker, its
 * session's receive thread, its decoding thread); the one exception is EOpen,
 * which calls the status callback on the caller's thread. A callback must
 * return promptly and must not call EUninitialize.
 *
 * Ownership. Every pointer the engine passes to a callback is valid only
 * during that call. Strings the host passes are copied before the export
 * returns.
 *
 * Results. No export reports a failure other than through its result where
 * it has one; control calls made while no phone is connected send nothing.
 *
 * Loading and unloading. Loading the library runs none of the engine's code
 * (its constant-initialised objects only register their destructors): no
 * thread starts, no descriptor is opened, no other library is loaded and
 * the environment is not touched. EInitialize, when it creates slot 0,
 * starts the process-wide services that slot 0 owns: it loads the system's
 * DNS-SD library (libdns_sd.so.1, when installed; first it sets
 * AVAHI_COMPAT_NOWARN=1 unless the host has set that variable, which keeps
 * the library from printing a warning on the host's stderr; setenv is not
 * safe while other host threads read the environment), opens the address-
 * change watch, and starts the USB watchers' threads. EUninitialize of slot
 * 0 stops them all and releases the DNS-SD library; EUninitialize of a slot
 * stops every thread of that slot. Once every slot is uninitialised and
 * Destroy has ended the preview, no thread of the engine runs and the
 * library may be unloaded with dlclose; unloading frees what the engine
 * still holds (the phone list, the preview picture). Unloading while a slot
 * exists is not allowed: its threads run the library's code.
 */
#ifndef TAVIN_ENGINE_H
#define TAVIN_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ENGINE_EXPORT __attribute__((visibility("default")))
#else
#define ENGINE_EXPORT
#endif

/* Every callback's first argument is the index (0..3) of the slot raising it. */

/* Status: the result of EOpen (0, or -1..-6 when the camera or audio driver
 * could not be attached), and every phone state the slot's session reports
 * (0 idle, 1 failed, 2 connecting, 3 streaming, 4 passcode required). Must be
 * given to EInitialize; it is called without a check. */
typedef void (*EngineStatusCallback)(int32_t index, int32_t code);
/* 1: a Button message from the phone: its two words. */
typedef void (*EngineButtonCallback)(int32_t index, int32_t code, int32_t value);
/* 2: the size of the published pictures, raised only when it changes. */
typedef void (*EngineFrameSizeCallback)(int32_t index, int32_t width, int32_t height);
/* 3: one entry of the phone list, in order (position 0, 1, ...): the phone's
 * key for ESelectPhone, its display name (with " [USB]" or " [WiFi]" for the
 * phone this slot streams from), and current = 1 for that phone. */
typedef void (*EnginePhoneCallback)(int32_t index, int32_t position, const char* key,
                                    const char* displayName, int32_t current);
/* 4..7: phone reports 19..22, passed on unchanged. */
typedef void (*EngineReport19Callback)(int32_t index, int32_t a, int32_t b, int32_t c, int32_t d);
typedef void (*EngineReport20Callback)(int32_t index, float a, float b, float c, int32_t d);
typedef void (*EngineReport21Callback)(int32_t index, float a, float b, float c, float d);
typedef void (*EngineReport22Callback)(int32_t index, int32_t a, int32_t b, int32_t c, int32_t d);
/* 8: a FocusDistance message from the phone. */
typedef void (*EngineFocusDistanceCallback)(int32_t index, int32_t mode, float distance);
/* 9: a NameList message: the names joined with "/", and its value word. */
typedef void (*EngineNameListCallback)(int32_t index, const char* names, int32_t value);
/* 10: a phone starts streaming. formats is the "/"-separated list of sizes
 * ("Automatic/640 x 360/..."); the result is the index the host wants
 * (0 = automatic). When it is not registered the engine uses 0. */
typedef int32_t (*EngineFormatListCallback)(int32_t index, const char* formats);
/* Passcode: the phone with this 16-byte id (and name, or "Phone") asks for a
 * passcode; return its hash from ESetPasscode, or 0 when none is known. */
typedef uint64_t (*EnginePasscodeCallback)(int32_t index, const uint8_t* phoneId, const char* phoneName);

/* Creates the slots 0..min(count, 4) - 1 and stores the status callback.
 * Call once, before anything else. */
ENGINE_EXPORT void EInitialize(int32_t count, EngineStatusCallback status);
/* Destroys the slot for good: its callbacks are cleared first, then its
 * worker, session, decoder and camera output are stopped and freed. Closing
 * any slot forgets every known phone. The slot is never opened again. */
ENGINE_EXPORT void EUninitialize(uint32_t index);
/* Opens the next slot in order and reports the result through the status
 * callback (on this thread). Returns the slot opened, also when attaching
 * its drivers failed, or -1 when no slot is left. */
ENGINE_EXPORT int32_t EOpen(void);
/* Registers callbacks 1..8, 9 and 10, replacing all ten (null allowed). */
ENGINE_EXPORT void SetCallback(uint32_t index, EngineButtonCallback cb1, EngineFrameSizeCallback cb2,
                               EnginePhoneCallback cb3, EngineReport19Callback cb4,
                               EngineReport20Callback cb5, EngineReport21Callback cb6,
                               EngineReport22Callback cb7, EngineFocusDistanceCallback cb8,
                               EngineNameListCallback cb9, EngineFormatListCallback cb10);
/* Registers the passcode callback. */
ENGINE_EXPORT void SetIdleCallback(uint32_t index, EnginePasscodeCallback passcode);
/* Sends a camera control to the phone. Codes 2, 3, 5, 10 send 0; 4, 6, 9, 14
 * send the value; 7 sends value / 10000 as a float (-1 for a negative
 * value); 8 sends value / 10000 as a float; 11 sends 2; others send nothing. */
ENGINE_EXPORT void ButtonEvent(uint32_t index, int32_t code, int32_t value);
/* Asks the phone to focus at (x, y). */
ENGINE_EXPORT void EFocus(uint32_t index, float x, float y, uint8_t flag);
/* Sets the phone's focus mode and distance. */
ENGINE_EXPORT void EFocusDistance(uint32_t index, int32_t mode, float distance);
/* Makes this slot the active one (larger default size, feeds the preview);
 * an index above 3 clears every active flag. */
ENGINE_EXPORT void ESetActiveIdx(uint32_t index);
/* Blank mode for every opened slot. */
ENGINE_EXPORT void ESetBlank(uint8_t blank);
/* Chooses the picture size: 0 automatic, 1..10 a size of the format list. */
ENGINE_EXPORT void ESetVideoFormat(uint32_t index, int32_t format);
/* Switches the slot to the phone with this key (from callback 3). */
ENGINE_EXPORT void ESelectPhone(uint32_t index, const char* key);
/* Restarts the network browse's retries. */
ENGINE_EXPORT void ERefresh(void);
/* Hashes a passcode for the phone with this 16-byte id, marks the phone as
 * ready to connect again and reports the phone list. Returns the hash to keep
 * for the passcode callback, or 0 when slot 0 does not exist. */
ENGINE_EXPORT uint64_t ESetPasscode(const uint8_t* phoneId, const char* passcode);
/* Adds a phone by address where discovery cannot see it: "192.168.1.20",
 * "[fe80::1%eth0]" or "phone.local", with an optional ":port" for the
 * session port (default 4699). The engine probes it every 2 s until it
 * answers, then treats it as a network phone. Returns 0 when the address
 * parses, -1 otherwise or when slot 0 does not exist (the addresses belong
 * to slot 0's discovery and go with it). */
ENGINE_EXPORT int32_t EAddPhoneAddress(const char* address);

/* The preview: a surface holding the active slot's current picture, for the
 * host to compose in its window. One host thread calls these seven exports
 * (the thread that composes the surface); they work whether or not a slot is
 * open. Results are HRESULTs: 0 S_OK, 0x80004005 E_FAIL, 0x80004003
 * E_POINTER, 0x80070057 E_INVALIDARG, or a Direct3D failure. The first call
 * of any of them but Render creates the preview with the defaults 1024 x 1024,
 * no alpha, no multisampling; Destroy ends it. See docs/preview.md. */

/* The render target the host composes. The engine owns it; it stays valid
 * until a GetBackBufferNoRef returns another pointer (null included) or
 * Destroy. Its pixels hold what the last successful Render drew. */
typedef struct EnginePreviewSurface {
    uint32_t width, height;
    uint32_t pitch;      /* bytes per row */
    uint32_t format;     /* 21 (B, G, R, A bytes) or 22 (B, G, R, unused) */
    uint32_t lockable;   /* 1 when created lockable */
    uint32_t reserved;   /* 0 */
    const uint8_t* bits; /* rows top-down */
} EnginePreviewSurface;

/* The render target's size, used from the next GetBackBufferNoRef. A value
 * of 0 or above 16384 is refused with E_INVALIDARG (nothing changes); the
 * current size changes nothing. */
ENGINE_EXPORT int32_t SetSize(uint32_t width, uint32_t height);
/* Non-zero: render targets of format 21 (with alpha), else 22. */
ENGINE_EXPORT int32_t SetAlpha(int32_t alpha);
/* Desired multisample count; turned off silently where not supported. */
ENGINE_EXPORT int32_t SetNumDesiredSamples(uint32_t count);
/* The host's window lies at this screen point: the surface of the adapter
 * showing it is handed out from now on (a point on no monitor changes
 * nothing). Lost devices found here are dropped. S_OK. */
ENGINE_EXPORT int32_t SetAdapter(int32_t x, int32_t y);
/* Stores the current render target in *surface (null when there is none)
 * without the host taking a reference, creating or rebuilding what is
 * needed. After a display change or with lost devices it gives S_OK and
 * null: the host asks again and gets new surfaces. E_FAIL (and null) when
 * the preview cannot run (no Direct3D, unsuitable adapter); E_POINTER when
 * surface is null. */
ENGINE_EXPORT int32_t GetBackBufferNoRef(EnginePreviewSurface** surface);
/* Draws the newest picture of the active slot onto the current render
 * target, scaled to its size; does nothing (S_OK) while no new picture came
 * since the last draw, or before GetBackBufferNoRef made a surface. On a
 * failure the same picture is tried again on the next call. */
ENGINE_EXPORT int32_t Render(void);
/* Ends the preview: devices, surfaces and settings are gone. */
ENGINE_EXPORT void Destroy(void);

#ifdef __cplusplus
}
#endif

#endif /* TAVIN_ENGINE_H */
