/*
 * Tabulon: conversion of rectangular statistical data sets between file formats.
 *
 * The public C interface. Every function takes an environment handle (from
 * DX_OpenEnvironment) as its first argument unless stated otherwise, and returns
 * 0 or a count on success and a negative code on failure; the message of the last
 * failure is read with DX_GetErrorMsg. All texts are UTF-8.
 */
#ifndef TABULON_TABULON_H
#define TABULON_TABULON_H

#include <stdint.h>
#include <stddef.h>

#if defined(__GNUC__)
#define TABULON_API __attribute__((visibility("default")))
#else
#define TABULON_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Storage types. */
#define T_STRING 1
#define T_BYTE 2
#define T_INT 3
#define T_LONG 4
#define T_FLOAT 5
#define T_DOUBLE 6
#define T_DATE 7
#define T_TIME 8
#define T_DATETIME 9

/* API types. */
#define API_NUMERIC 1
#define API_STRING 2
#define API_DATE 4
#define API_TIME 8
#define API_DATETIME 16
#define API_LABELED 64

/* Host callbacks. */
typedef void (*DX_InfoCallback)(int32_t level, const char *text, int32_t category, int64_t userData);
typedef int32_t (*DX_ConfirmCallback)(int32_t what, const char *path, int32_t reserved, int64_t userData);

/* ---- Environments, messages, callbacks ---- */
TABULON_API int32_t DX_OpenEnvironment(void);
TABULON_API int32_t DX_OpenEnvironmentEx(int32_t flags);
TABULON_API int32_t DX_CloseEnvironment(int32_t env);
TABULON_API const char *DX_GetErrorMsg(int32_t env);
TABULON_API int32_t DX_CopyErrorMsg(int32_t env, char *buffer);
TABULON_API int32_t DX_SetInfoCallback(int32_t env, int32_t levelMask, const uint32_t *settingsBlock,
                                       int32_t reserved, int64_t userData, DX_InfoCallback callback);
TABULON_API int32_t DX_SetCallbackFunc(int32_t env, int32_t flags, int64_t userData, DX_ConfirmCallback callback);
TABULON_API int32_t DX_SetWindowHandle(int32_t env, int64_t hwnd);
TABULON_API const char *DX_GetDLLVersion(void);
TABULON_API int32_t DX_OLE_Init(int32_t mode);
TABULON_API int32_t DX_OleNoInit(int32_t env);
/* ---- end environments ---- */

/* ---- Options ---- */
/* ---- end options ---- */

/* ---- Streams ---- */
/* ---- end streams ---- */

/* ---- Dictionary and values ---- */
/* ---- end dictionary ---- */

/* ---- Formats and transfer ---- */
/* ---- end transfer ---- */

/* ---- Optimization ---- */
/* ---- end optimization ---- */

/* ---- Expressions, keep/drop, type changes ---- */
/* ---- end expressions ---- */

/* ---- Dates ---- */
/* ---- end dates ---- */

/* ---- Encoders ---- */
/* ---- end encoders ---- */

/* ---- Text input ---- */
/* ---- end text input ---- */

/* ---- Worksheets ---- */
/* ---- end worksheets ---- */

#ifdef __cplusplus
}
#endif

#endif /* TABULON_TABULON_H */
