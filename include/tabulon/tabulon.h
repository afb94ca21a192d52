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
/* Progress of work that reads the whole input before the transfer: phase 1, the type scan of a
   text input inside DX_ReadDict, called every few thousand cases with the cases seen so far and
   the percent of the input read (-1 when its length is not known); phase 2, once, when that scan
   went through the whole input: cases is then the number of cases the transfer will read. */
typedef void (*DX_ProgressCallback)(int32_t phase, int64_t cases, int32_t percent, int64_t userData);

/* ---- Environments, messages, callbacks ---- */
TABULON_API int32_t DX_OpenEnvironment(void);
TABULON_API int32_t DX_OpenEnvironmentEx(int32_t flags);
TABULON_API int32_t DX_CloseEnvironment(int32_t env);
TABULON_API const char *DX_GetErrorMsg(int32_t env);
TABULON_API int32_t DX_CopyErrorMsg(int32_t env, char *buffer);
TABULON_API int32_t DX_SetInfoCallback(int32_t env, int32_t levelMask, const uint32_t *settingsBlock,
                                       int32_t reserved, int64_t userData, DX_InfoCallback callback);
TABULON_API int32_t DX_SetCallbackFunc(int32_t env, int32_t flags, int64_t userData, DX_ConfirmCallback callback);
/* Sets (or with a null callback clears) the progress callback. */
TABULON_API int32_t dxi_set_progress_callback(int32_t env, int64_t userData, DX_ProgressCallback callback);
TABULON_API int32_t DX_SetWindowHandle(int32_t env, int64_t hwnd);
TABULON_API const char *DX_GetDLLVersion(void);
TABULON_API int32_t DX_OLE_Init(int32_t mode);
TABULON_API int32_t DX_OleNoInit(int32_t env);
/* ---- end environments ---- */

/* ---- Options ---- */
/* Keyword option table of the host's "set" commands (entries 0..116) and its helpers. */
/* One keyword option, as dxi_get_opt hands it to the host's "set" command processor.
   flags: 1 loaded, 2 yes/no, 4 integer, 8 text, 0x10 choice, 0x20 character, 0x40 host
   marker, 0x80 text changed, 0x100 choice or first character, 0x200 keep on reset,
   0x400 output side. `choices` holds the allowed words of choice kinds and the current
   value of text kinds. */
typedef struct DX_OptionEntry {
  const char *keyword;
  const char *default_text;
  const char *description;
  uint32_t flags;
  int32_t value;
  uint32_t group;
  const char *choices;
  const char *current_text;
  uint64_t reserved;
} DX_OptionEntry;

TABULON_API DX_OptionEntry *dxi_get_opt(int32_t index); /* null outside 0..116 */
TABULON_API int32_t dxi_yesno(const char *text, char *errorBuffer); /* errorBuffer: 256 bytes or null */
TABULON_API char *dxi_list_lchoice(const char *choices, int32_t k, char *out); /* out: 21 bytes */
TABULON_API int32_t dxi_enum_type(const char *choices, const char *text);
/* settings: 6 words (cleared, Stata large, Stata version, drop/keep mode, WHERE mode, auto-optimize). */
TABULON_API int32_t dxi_set_options(int32_t env, int32_t outputCode, int32_t *settings, int32_t outputOnly);
/* Numbered options; text may also be a pointer the number documents (21 stream, 202 int32_t*). */
TABULON_API int32_t DX_SetOption(int32_t env, int32_t number, int32_t intValue, const char *text);
/* Numbered option 12: programs written beside a fixed-column text output (formats 19, 39, 40,
   41 and 46), each reading that data file into its package; the output's own program is
   never written twice. Numbered option 13 (yes/no): SPSS variable labels are cut to 120
   characters and written in two pieces, for older releases. */
#define DX_OPT_PROGRAM_MASK 12
/* Stata and SPSS output release; for Stata 0x100 asks for the large edition (Stata/SE). */
#define DX_OPT_OUTPUT_VERSION 77
#define DX_PROGRAM_SAS 1
#define DX_PROGRAM_SPSS 2
#define DX_PROGRAM_STATA 4
#define DX_OPT_PROGRAM_SHORT_LABELS 13
TABULON_API int32_t DX_SetDictOption(int32_t env, int32_t what, int32_t sub, void *value);
/* The text given with DX_SetDictOption(env, 15, 0, text); "" when none. */
TABULON_API const char *DX_GetFileDescription(int32_t env);
TABULON_API int32_t DX_RandInt(int32_t n);
/* Text reading and writing. */
TABULON_API int32_t DX_TxtMaxCols(int32_t env, int32_t n);
TABULON_API int32_t DX_TxtReadVnames(int32_t env, int32_t mode);
TABULON_API int32_t DX_TxtWriteVnames(int32_t env, int32_t on);
TABULON_API int32_t DX_TxtLookMaxLines(int32_t env, int32_t n);
TABULON_API int32_t DX_TxtMaxLineWidth(int32_t env, int32_t n);
TABULON_API int32_t DX_TxtQuoteChar(int32_t env, int32_t c);
TABULON_API int32_t DX_TxtDelimiter(int32_t env, int32_t c);
TABULON_API int32_t DX_TxtDateOrder(int32_t env, int32_t order);
TABULON_API int32_t DX_TxtDatePunct(int32_t env, int32_t c);
TABULON_API int32_t DX_TxtCurrencyMark(int32_t env, int32_t c);
TABULON_API int32_t DX_TxtDecimalPoint(int32_t env, int32_t c);
TABULON_API int32_t DX_Txt000Punct(int32_t env, int32_t c);
TABULON_API int32_t DX_TxtCenturyCutoff(int32_t env, int32_t n);
TABULON_API int32_t DX_TxtWriteCentury(int32_t env, int32_t on);
TABULON_API int32_t DX_CenturyOn(int32_t env, int32_t on);
TABULON_API int32_t DX_TxtSetRange(int32_t env, int32_t firstRow, int32_t firstCol, int32_t lastRow, int32_t lastCol);
TABULON_API int32_t DX_TxtWriteSchema(int32_t env, int32_t on);
TABULON_API int32_t DX_TxtWritePrecision(int32_t env, int32_t n);
TABULON_API int32_t DX_SetNaString(int32_t env, int32_t side, const char *text);
TABULON_API int32_t DX_PreserveCase(int32_t env, int32_t on);
TABULON_API int32_t DX_UseGFormat(int32_t env, int32_t on);
/* Writer variants. */
TABULON_API int32_t DX_SetOldVersion(int32_t env, int32_t v);
TABULON_API int32_t DX_SetStataVer4(int32_t env, int32_t v);
TABULON_API int32_t DX_SetGauss96(int32_t env, int32_t v);
TABULON_API int32_t DX_SetSasStyle(int32_t env, int32_t style);
TABULON_API int32_t DX_SetOutBtOrd(int32_t env, int32_t order);
TABULON_API int32_t DX_ComplexFileSet(int32_t env, int32_t on);
TABULON_API int32_t DX_ComplexFileGet(int32_t env);
/* Worksheet settings (rows and columns 0-based). */
TABULON_API int32_t DX_SetWksRange(int32_t env, int32_t firstRow, int32_t firstColumn, int32_t lastRow, int32_t lastColumn);
TABULON_API int32_t DX_SetWksRangeWithName(int32_t env, const char *text);
TABULON_API int32_t DX_SetWksRangeWithNumb(int32_t env, int32_t n);
TABULON_API int32_t DX_SetWksPage(int32_t env, int32_t page);
TABULON_API int32_t DX_SetWksNameRow(int32_t env, int32_t mode, int32_t row);
TABULON_API int32_t DX_SetWksMinStrWidth(int32_t env, int32_t width);
TABULON_API int32_t DX_SetWksUseNullCol(int32_t env, int32_t flag);
TABULON_API int32_t DX_SetWksRetNullRows(int32_t env, int32_t flag);
TABULON_API int32_t DX_SetWksReadFromBottom(int32_t env, int32_t n);
TABULON_API int32_t DX_SetWksReadMode(int32_t env, int32_t mode);
TABULON_API int32_t DX_SetWksNoVnames(int32_t env, int32_t flag);
TABULON_API int32_t DX_SetWksWriteHeading(int32_t env, int32_t on);
TABULON_API int32_t DX_SetWksColWidth(int32_t env, int32_t variable, int32_t width);
TABULON_API int32_t DX_SetWksCellNote(int32_t env, const char *note);
/* ---- end options ---- */

/* ---- Streams ---- */
/* ---- end streams ---- */

/* ---- Dictionary and values ---- */
/* Variables are addressed by 0-based index. Texts returned as pointers stay valid
 * until the dictionary changes or the files are closed. */
TABULON_API const char *DX_GetVarName(int32_t env, int32_t var);
TABULON_API int32_t DX_CopyVarName(int32_t env, int32_t var, char *buffer); /* buffer: 256 bytes */
TABULON_API const char *DX_GetInputVarName(int32_t env, int32_t var);
TABULON_API int32_t DX_VarNameMadeUp(int32_t env, int32_t var);
TABULON_API const char *DX_GetVarLabel(int32_t env, int32_t var);
TABULON_API int32_t DX_CopyVarLabel(int32_t env, int32_t var, char *buffer); /* buffer: 1024 bytes */
TABULON_API int32_t DX_GetVarType(int32_t env, int32_t var);
TABULON_API int32_t DX_GetVarTypeExt(int32_t env, int32_t var);
TABULON_API int32_t DX_GetTType(int32_t env, int32_t var);
TABULON_API int32_t DX_GetVarPrintWidth(int32_t env, int32_t var);
TABULON_API int32_t DX_GetVarNDec(int32_t env, int32_t var);
TABULON_API int32_t DX_GetVarSelect(int32_t env, int32_t var);
TABULON_API int32_t DX_FileHasVarLabels(int32_t env);
TABULON_API int32_t DX_AreValueLabelsPresent(int32_t env);
TABULON_API int32_t DX_GetNativeFormat(int32_t env, int32_t var, const char **format);
TABULON_API int32_t DX_GetVarInfo(int32_t env, int32_t var, int32_t what, int32_t *out);

TABULON_API int32_t DX_SetVarSelect(int32_t env, int32_t var, int32_t on);
TABULON_API int32_t DX_SelectAllVars(int32_t env);
TABULON_API int32_t DX_SelectAllVarsExt(int32_t env, int32_t on);
TABULON_API int32_t DX_SetVarSelectName(int32_t env, const char *spec, int32_t on);
TABULON_API int32_t DX_SetVarLabel(int32_t env, int32_t var, const char *label);
TABULON_API int32_t DX_SetTType(int32_t env, int32_t var, int32_t code);
TABULON_API int32_t DX_SetDictVarToString(int32_t env, int32_t var, int32_t width);
TABULON_API int32_t DX_SetVarInfo(int32_t env, int32_t var, int32_t what, int32_t value, const char *text);

TABULON_API int32_t DX_GetNValueLabels(int32_t env, int32_t var);
TABULON_API int32_t DX_GetValueLabel(int32_t env, int32_t k, int32_t *value, const char **label);
TABULON_API int32_t DX_GetValueLabelStr(int32_t env, int32_t k, const char **value, const char **label);
/* valueText: 17 bytes, or 32769 when long values are allowed (numbered option 95). */
TABULON_API int32_t DX_GetValueLabelExt(int32_t env, int32_t k, double *value, char *valueText, char *labelBuffer,
                                        int32_t labelSize);
TABULON_API int32_t DX_SetNValueLabels(int32_t env, int32_t var, int32_t n);
TABULON_API int32_t DX_SetValueLabel(int32_t env, int32_t k, int32_t value, const char *label);
TABULON_API int32_t DX_SetValueLabelExt(int32_t env, int32_t k, double value, const char *text, const char *label);
TABULON_API int32_t DX_SetMissingValueLabel(int32_t env, int32_t k, int32_t code, const char *label);

TABULON_API int32_t DX_GetVarData(int32_t env, int32_t var, void **value, int32_t *apiType);
TABULON_API int32_t DX_GetVarDataExt(int32_t env, int32_t var, void **value, const char **label, int32_t *apiType);
/* status: byte 0 state (0 present, 1 missing, 2 not found), byte 1 API type, byte 2 string length.
 * strBuffer: 256 bytes. */
TABULON_API double DX_GetVarDataVB(int32_t env, int32_t var, char *strBuffer, int32_t *status);
TABULON_API int32_t DX_CopyVarDataStr(int32_t env, int32_t var, char *buffer); /* buffer: slot width or 1024 bytes */
TABULON_API int32_t DX_CopyVarDataNumb(int32_t env, int32_t var, double *value);
TABULON_API int32_t DX_SetVarData(int32_t env, int32_t var, const void *data);
TABULON_API int32_t DX_SetVarString(int32_t env, int32_t var, const char *text);
TABULON_API int32_t DX_SetVarDouble(int32_t env, int32_t var, const double *value);
TABULON_API int32_t DX_SetVarAnyFromStr(int32_t env, int32_t var, const char *text);
TABULON_API int32_t DX_SetVarMissing(int32_t env, int32_t var);
TABULON_API int32_t DX_SetVarMissingExt(int32_t env, int32_t var, int32_t code);
TABULON_API int32_t DX_GetVarMissing(int32_t env, int32_t var);

TABULON_API int32_t DX_InitUserDict(int32_t env, int32_t n);
TABULON_API int32_t DX_AddUserVar(int32_t env, int32_t var, const char *name, int32_t type, int32_t width,
                                  int32_t decimals);
TABULON_API int32_t DX_DefineAsciiVar(int32_t env, int32_t var, const char *name, int32_t type, int32_t width,
                                      int32_t decimals, int32_t recordNumber, int32_t column);

TABULON_API int32_t DX_GetVarExtAttrCount(int32_t env, int32_t var, int32_t *count);
TABULON_API int32_t DX_GetVarExtAttrName(int32_t env, int32_t var, int32_t k, const char **name, int32_t *length);
TABULON_API int32_t DX_GetVarExtAttrType(int32_t env, int32_t var, int32_t k, int32_t *type);
TABULON_API int32_t DX_GetVarExtAttrStrValue(int32_t env, int32_t var, int32_t k, const char **value,
                                             int32_t *length);
TABULON_API int32_t DX_GetVarExtAttrNumValue(int32_t env, int32_t var, int32_t k, double *value);
TABULON_API int32_t DX_GetDatasetExtAttrCount(int32_t env, int32_t *count);
TABULON_API int32_t DX_GetDatasetExtAttrName(int32_t env, int32_t k, const char **name, int32_t *length);
TABULON_API int32_t DX_GetDatasetExtAttrType(int32_t env, int32_t k, int32_t *type);
TABULON_API int32_t DX_GetDatasetExtAttrStrValue(int32_t env, int32_t k, const char **value, int32_t *length);
TABULON_API int32_t DX_GetDatasetExtAttrNumValue(int32_t env, int32_t k, double *value);

TABULON_API int32_t DX_GetNCases(int32_t env);
/* What a listing shows of an input variable: what 1 = its declared missing values ("9; 97 thru 99"),
   2 = the input package's display format, 3 = its measurement level ("nominal", "ordinal",
   "scale") where the file records one. Returns the text length, 0 for none, -1 on error. */
TABULON_API int32_t dxi_var_describe(int32_t env, int32_t var, int32_t what, char *out, int32_t size);
/* What the open input says about itself: what 1 = encoding, 2 = format release, 3 = compression,
   4 = byte order, 5 = creation time, 6 = modification time ("YYYY-MM-DD HH:MM[:SS]"), 7 = the
   software that wrote it. Returns the text length, 0 when the file does not say, -1 on error. */
TABULON_API int32_t dxi_dataset_describe(int32_t env, int32_t what, char *out, int32_t size);
/* outText holds *outInt bytes on entry where a text is returned. */
TABULON_API int32_t DX_GetDatasetInfo(int32_t env, int32_t what, int32_t *outInt, char *outText);
/* ---- end dictionary ---- */

/* ---- Formats and transfer ---- */
TABULON_API int32_t DX_OpenInputFile(int32_t env, int32_t code, const char *path);
TABULON_API int32_t DX_ReadDict(int32_t env);
TABULON_API int32_t DX_OpenOutFile(int32_t env, int32_t code, const char *path);
TABULON_API int32_t DX_CloseFiles(int32_t env);
TABULON_API int32_t DX_TransferData(int32_t env, int32_t inCode, const char *inPath, int32_t outCode,
                                    const char *outPath);
TABULON_API int32_t DX_InitReadOnly(int32_t env);
TABULON_API int32_t DX_ReadRecord(int32_t env);
TABULON_API int32_t DX_WriteRecord(int32_t env);
TABULON_API int32_t DX_TransferOneRecord(int32_t env);
TABULON_API int32_t DX_TransferNRecords(int32_t env, int32_t n);
TABULON_API int32_t DX_TransferAllRecords(int32_t env);
TABULON_API int32_t DX_GetCasesMoved(int32_t env);
TABULON_API int32_t DX_GetCasesDropped(int32_t env);
TABULON_API int32_t DX_GetPercentTransferred(int32_t env);
/* With on = 1, anything the conversion changed in the data (strings cut, characters replaced,
   names changed...) fails DX_CloseFiles, and the output is not kept. */
TABULON_API int32_t dxi_set_strict_changes(int32_t env, int32_t on);
/* Removes the temporary files of every unfinished output in the process (the output of a
   transfer is written under a temporary name until DX_CloseFiles succeeds). Async-signal-safe:
   meant for a host's SIGINT/SIGTERM handler. */
TABULON_API void dxi_remove_partial_outputs(void);
TABULON_API int32_t DX_SavePosn(int32_t env);
TABULON_API int32_t DX_RestorePosn(int32_t env);
TABULON_API int32_t DX_FormatHasMembers(int32_t env);
TABULON_API int32_t DX_FormatHasTables(int32_t env);
TABULON_API int32_t DX_ReadMembers(int32_t env);
TABULON_API int32_t DX_GetMemberName(int32_t env, int32_t k, char *out);
TABULON_API int32_t DX_SetMember(int32_t env, const char *name);
TABULON_API int32_t DX_SetFirstMember(int32_t env);
TABULON_API int32_t DX_GetNTables(int32_t env);
TABULON_API int32_t DX_GetTableName(int32_t env, int32_t k, char *out);
TABULON_API int32_t DX_SetTable(int32_t env, const char *name);
TABULON_API int32_t DX_SetFirstTable(int32_t env);
TABULON_API int32_t DX_GetQualifiedTname(int32_t env, char *out);
/* Database sources: side 1 input, 2 output; parameters 0..11. */
TABULON_API int32_t DX_DBSetParm(int32_t env, int32_t side, int32_t index, const char *text);
TABULON_API const char *DX_DBGetParm(int32_t env, int32_t side, int32_t index);
TABULON_API int32_t DX_DBGetParmVB(int32_t env, int32_t side, int32_t index, char *buffer, int32_t size);
TABULON_API int32_t DX_DBReadSources(int32_t env, int32_t code);
TABULON_API int32_t DX_DBReadSourcesEx(int32_t env, int32_t code, int32_t side);
TABULON_API int32_t DX_DBGetSource(int32_t env, int32_t k, char *name, char *description);
TABULON_API int32_t DX_DBGetSourceEx(int32_t env, int32_t k, char *name, char *description, int32_t side);
/* ---- end transfer ---- */

/* ---- Optimization ---- */
/* Mode bits: 1 exact float, 2 drop constant variables, 4 formatted widths, 8 force, 16 in memory. */
TABULON_API int32_t DX_OptimizeInit(int32_t env, int32_t mode);
TABULON_API int32_t DX_OptimizeInitEx(int32_t env, int32_t outCode, int32_t mode);
TABULON_API int32_t DX_MemOptimizeInit(int32_t env, int32_t outCode, int32_t mode);
TABULON_API int32_t DX_OptimizeDo(int32_t env, int32_t maxCases);
TABULON_API int32_t DX_OptimizeRecord(int32_t env);
TABULON_API int32_t DX_OptimizeClose(int32_t env);
/* 1 when an optimization pass of this mode can change what outCode gets written, or costs
   no read of its own; 0 when it would change nothing; negative without a dictionary. */
TABULON_API int32_t dxi_optimize_useful(int32_t env, int32_t outCode, int32_t mode);
/* ---- end optimization ---- */

/* ---- Expressions, keep/drop, type changes ---- */
/* Compiles a WHERE condition; with install it selects the cases of the next transfer.
 * An empty text (or "WHERE" alone) removes the condition. 0, or -1 with the message. */
TABULON_API int32_t DX_ParseWhere(int32_t env, const char *text, int32_t install);
/* Runs a keep/drop list. mode 0: the text starts with "keep" or "drop"; 1 drop; 2 keep.
 * reset: first drop (keep) or keep (drop) every variable. Returns the number of
 * variables affected, negative for drop, 0 on error. */
TABULON_API int32_t DX_DoVarSelect(int32_t env, const char *text, int32_t mode, int32_t reset);
/* ---- end expressions ---- */

/* ---- Dates ---- */
/* Day numbers: days since 30 December 1899 plus the time of day as a fraction. */
TABULON_API int32_t DX_SetDateFmt(int32_t env, int32_t category, int32_t index, const char *text);
TABULON_API int32_t DX_MdyToIdate(int32_t month, int32_t day, int32_t yearSince1900, double *dayNumber);
TABULON_API int32_t DX_IdateToMdy(double dayNumber, int32_t *month, int32_t *day, int32_t *yearSince1900);
TABULON_API int32_t DX_ToIDate(int32_t month0, int32_t day, int32_t year, int32_t hour, int32_t minute,
                               int32_t second, double *dayNumber);
TABULON_API int32_t DX_FromIDate(double dayNumber, int32_t *month0, int32_t *day, int32_t *year, int32_t *hour,
                                 int32_t *minute, int32_t *second);
TABULON_API int32_t DX_FormatIDate(int32_t env, double dayNumber, const char *pattern, char *buffer,
                                   int32_t bufferSize);
/* ---- end dates ---- */

/* ---- Encoders ---- */
/* Free-standing converters (from -> to); "CHAR" or "system" name the system encoding. */
TABULON_API void *DX_OpenEncoder(int32_t env, const char *to, const char *from);
TABULON_API int32_t DX_CloseEncoder(int32_t env, void *encoder);
/* With *output null the result is allocated with malloc (free it) and *outputCapacity set. */
TABULON_API int32_t DX_EncodeData(int32_t env, void *encoder, const char *input, int32_t inputLength,
                                  char **output, int32_t *outputCapacity);
/* Converter slots: direction 1 input, 2 output, 3 other; slot 0 is the file converter. */
TABULON_API int32_t dxi_alloc_converter(int32_t env, int32_t direction, int32_t flags, int32_t slot,
                                        const char *from, const char *to);
TABULON_API int32_t dxi_close_converter(int32_t env, int32_t direction, int32_t slot);
TABULON_API int32_t dxi_alloc_encode_string_env(int32_t env, int32_t direction, int32_t slot, const char *input,
                                                int32_t inputLength, char *output, int32_t outputCapacity,
                                                int32_t trim, const char *context, int32_t variable,
                                                int32_t record, int32_t *errorCount);
/* Legalizes the selected output names; flags 1: maximum counted in characters. */
TABULON_API int32_t dxi_hs_mangle_names_uni(int32_t env, int32_t maxLength, int32_t caseMode, int32_t width,
                                            const char *first, const char *middle, const char *last,
                                            const char *suffix, int32_t flags);
/* ---- end encoders ---- */

/* ---- Text input ---- */
/* Line reader over a C file (FILE*): lines come back NUL-terminated in UTF-8; a reader
   belongs to the environment that opened it. Flags bit 0: statement mode (";" ends a line). */
TABULON_API void *dxi_open_rdline(int32_t env, void *cFile, const char *encoding, int32_t flags);
TABULON_API int32_t dxi_rdline(void *reader, char **line, int32_t *length);
TABULON_API int32_t dxi_rewind_rdline(void *reader);
TABULON_API int32_t dxi_close_rdline(void *reader);
TABULON_API int32_t dxi_rdline_change_file(void *reader, void *cFile);
/* ---- end text input ---- */

/* ---- Host services ---- */
/* Lists the format registry for hosts: fills the name, the blank-separated file
   extensions (with the point) and whether this build reads and writes the format with
   registry position `index` (0-based, in code order): 0 no, 1 yes, 2 through a database
   driver library; returns its format code, or -1 past the last entry. */
TABULON_API int32_t dxi_format_info(int32_t index, const char **name, const char **extensions,
                                    int32_t *canRead, int32_t *canWrite);
/* ---- end host services ---- */

/* ---- Worksheets ---- */
/* An open workbook: sheets (pages), defined names (ranges) and the name row. */
TABULON_API int32_t DX_GetWksNPages(int32_t env);
TABULON_API int32_t DX_GetWksPageName(int32_t env, int32_t page, char *buffer);
TABULON_API int32_t DX_GetWksNRanges(int32_t env);
TABULON_API int32_t DX_GetWksRangeName(int32_t env, int32_t n, char *buffer);
TABULON_API int32_t DX_GetWksRangeCoord(int32_t env, int32_t n, char *buffer);
TABULON_API int32_t DX_GetWksNameStat(int32_t env);
TABULON_API int32_t DX_GetWksStartRow(int32_t env);
TABULON_API int32_t DX_GetWksStartPage(int32_t env);
TABULON_API int32_t DX_GetWksLabel(int32_t env, char *buffer, int32_t size);
/* Cells of an open workbook: sheets are 0-based; -2 for a bad sheet or row handle. */
TABULON_API int32_t DX_CellGetNRowsInSheet(int32_t env, int32_t sheet);
TABULON_API int32_t DX_CellGetRowHandle(int32_t env, int32_t sheet, int32_t row);
TABULON_API int32_t DX_CellGetNColsInRow(int32_t env, int32_t handle);
TABULON_API int32_t DX_CellGetDataStr(int32_t env, int32_t handle, int32_t column, char *buffer);
TABULON_API int32_t DX_CellGetData(int32_t env, int32_t handle, int32_t column, double *value, char *text,
                                   int32_t *type);
/* Fills 256 bytes with the column widths of the current sheet. */
TABULON_API int32_t DX_CellGetColWidths(int32_t env, char *buffer);
/* ---- end worksheets ---- */

#ifdef __cplusplus
}
#endif

#endif /* TABULON_TABULON_H */
