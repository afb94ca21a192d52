// Run-time binding of libxml2: loaded by file name on first use, every entry point
// resolved into one process-wide table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

struct EnvRecord;

// The entry points, in the order they are resolved.
#define TABULON_XML_ENTRIES(X)                                                                                  \
  X(xmlBufferCreate) X(xmlBufferFree) X(xmlFindCharEncodingHandler) X(xmlFreeTextReader) X(xmlFreeTextWriter)  \
  X(xmlNewTextWriterMemory) X(xmlReaderForMemory) X(xmlTextReaderGetAttribute) X(xmlTextReaderName)             \
  X(xmlTextReaderNodeType) X(xmlTextReaderRead) X(xmlTextReaderValue) X(xmlTextWriterEndDocument)               \
  X(xmlTextWriterEndElement) X(xmlTextWriterStartDocument) X(xmlTextWriterStartElement)                         \
  X(xmlTextWriterWriteAttribute) X(xmlTextWriterWriteElement) X(xmlTextWriterFullEndElement)                    \
  X(xmlNewTextWriterFilename) X(xmlNewTextReaderFilename) X(xmlTextReaderIsEmptyElement)                        \
  X(xmlParserInputBufferCreateFile) X(xmlReaderForFile) X(xmlAllocParserInputBuffer)                            \
  X(xmlTextReaderConstXmlVersion) X(xmlTextReaderHasAttributes) X(xmlTextReaderAttributeCount)                  \
  X(xmlTextReaderMoveToNextAttribute) X(xmlTextReaderReadInnerXml) X(xmlTextReaderHasValue)                     \
  X(xmlTextReaderConstValue) X(xmlTextReaderMoveToAttributeNo) X(xmlTextReaderNormalization)                    \
  X(xmlTextReaderClose) X(xmlTextReaderReadString) X(xmlTextReaderReadAttributeValue)                           \
  X(xmlTextReaderNamespaceUri) X(xmlTextReaderLookupNamespace) X(xmlTextReaderDepth) X(xmlTextReaderNext)       \
  X(xmlTextReaderConstName) X(xmlDetectCharEncoding) X(xmlGetCharEncodingHandler)                               \
  X(xmlInitCharEncodingHandlers) X(UTF8Toisolat1) X(xmlTextReaderLocalName) X(xmlTextReaderReadOuterXml)        \
  X(xmlTextReaderPreserve) X(xmlNewParserCtxt) X(xmlCtxtReadFile) X(xmlSubstituteEntitiesDefault)               \
  X(xmlGetDocEntity) X(xmlGetParameterEntity) X(xmlDocGetRootElement) X(xmlTextReaderSetParserProp)             \
  X(xmlCheckVersion) X(xmlCreatePushParserCtxt) X(xmlParseChunk) X(xmlFreeParserCtxt) X(xmlCleanupParser)       \
  X(xmlClearParserCtxt) X(xmlTextWriterStartElementNS) X(xmlTextWriterStartAttributeNS)                         \
  X(xmlTextWriterWriteComment) X(xmlTextWriterEndComment) X(xmlTextWriterSetIndent)                             \
  X(xmlTextWriterWriteAttributeNS) X(xmlStrPrintf) X(xmlStrcmp) X(xmlSAX2GetEntity) X(xmlTextReaderExpand)      \
  X(xmlReadFile) X(xmlGetProp) X(xmlNodeIsText) X(xmlNodeGetContent) X(xmlSchemaNewParserCtxt)                  \
  X(xmlSchemaSetParserErrors) X(xmlSchemaParse) X(xmlSchemaFreeParserCtxt) X(xmlSchemaNewValidCtxt)             \
  X(xmlSchemaValidateDoc) X(xmlSchemaFreeValidCtxt) X(xmlSchemaNewDocParserCtxt) X(xmlSchemaSetValidErrors)     \
  X(xmlBuildURI) X(xmlParseURI) X(xmlSchemaFree) X(xmlGetLastChild) X(xmlStrlen) X(xmlFreeDoc)                  \
  X(xmlAllocOutputBuffer) X(xmlNewTextWriter) X(xmlTextReaderConstEncoding) X(xmlCharEncCloseFunc)              \
  X(xmlCleanupCharEncodingHandlers) X(xmlMemShow) X(xmlTextWriterFlush) X(xmlTextWriterWriteString)             \
  X(xmlReaderForIO) X(xmlMemGet)

enum class XmlEntry : int {
#define TABULON_XML_ENUM(name) name,
  TABULON_XML_ENTRIES(TABULON_XML_ENUM)
#undef TABULON_XML_ENUM
  Count
};

// The bound table (process-wide) and the library's own memory functions.
struct XmlLib {
  bool bound = false;
  void* entry[static_cast<int>(XmlEntry::Count)] = {};
  void (*free_fn)(void*) = nullptr;
  void* (*malloc_fn)(size_t) = nullptr;
  void* (*realloc_fn)(void*, size_t) = nullptr;
  char* (*strdup_fn)(const char*) = nullptr;
};

extern XmlLib g_xml_lib;

// Binds the library (once while bound) and returns 0. A library that cannot be
// loaded, or lacks an entry point, raises the fatal error of the call.
int32_t XmlLibLoad(EnvRecord& env);
// Unbinds when this environment holds the library handle (closing the files with
// the release flag set, closing the environment).
void xml_lib_release(EnvRecord& env);
// For DX_CloseFiles: releases the binding when the environment has the release-XML flag.
void xml_lib_on_close_files(EnvRecord& env);
// Process-wide override of the library file name (null or "" restores the default).
void xml_lib_set_file_name(const char* name);
const char* xml_lib_file_name();
// Name of the first listed entry point the given library lacks, or null.
const char* xml_lib_first_missing(void* handle);

// Frees a string the library returned, with the library's own free.
inline void xml_lib_free(void* p) {
  if (p && g_xml_lib.free_fn) g_xml_lib.free_fn(p);
}

}  // namespace tabulon

// Typed call through the table; the caller includes the libxml2 header of the function:
//   XML_FN(xmlTextReaderRead)(reader)
#define XML_FN(name) \
  reinterpret_cast<decltype(&::name)>(::tabulon::g_xml_lib.entry[static_cast<int>(::tabulon::XmlEntry::name)])
