// Configuration store: named values under key paths below the machine-wide
// root (HKEY_LOCAL_MACHINE). Every operation opens the store, does one thing
// and closes it again, so operations may run on any thread and in several
// processes at once. Failures are reported by the false result; reads also
// log a store that cannot be read (see CheckRegistryStore).
//
// On this platform the store is one text file in the registry export format
// (path from KIV_REGISTRY, default /etc/kiv/registry.reg; see registry_file.h).
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "kiv/oleaut.h"

// Key paths are below HKEY_LOCAL_MACHINE, e.g. u"Software\\ZIB Networks\\Zib".

class CRegistry {
 public:
  virtual ~CRegistry() = default;
  // Creates the key when missing; writes a 32-bit number (REG_DWORD).
  virtual bool SetDwordValue(const std::u16string& key, const std::u16string& name,
                             std::uint32_t value) = 0;
  // Creates the key when missing; writes a text (REG_SZ).
  virtual bool SetStringValue(const std::u16string& key, const std::u16string& name,
                              const std::u16string& value) = 0;
  // The value's first 4 bytes as a little-endian number (a shorter value's
  // missing bytes read as zero); false, value untouched, when missing.
  virtual bool GetDwordValue(const std::u16string& key, const std::u16string& name,
                             std::uint32_t& value) = 0;
  // The value's data as zero-terminated UTF-16 within its first 2048 bytes
  // (cut there when it has no zero); false, value untouched, when missing.
  virtual bool GetStringValue(const std::u16string& key, const std::u16string& name,
                              std::u16string& value) = 0;
  // Adds every text and number value of the key ("%d" for numbers),
  // replacing entries of the same name; other entries stay.
  virtual void GetValues(const std::u16string& key,
                         std::map<std::u16string, std::u16string>& values) = 0;
};

class CRegistryImpl : public CRegistry {
 public:
  bool SetDwordValue(const std::u16string& key, const std::u16string& name,
                     std::uint32_t value) override;
  bool SetStringValue(const std::u16string& key, const std::u16string& name,
                      const std::u16string& value) override;
  bool GetDwordValue(const std::u16string& key, const std::u16string& name,
                     std::uint32_t& value) override;
  bool GetStringValue(const std::u16string& key, const std::u16string& name,
                      std::u16string& value) override;
  void GetValues(const std::u16string& key,
                 std::map<std::u16string, std::u16string>& values) override;
  // Writes size bytes (REG_BINARY); false at once for null data or size <= 0.
  virtual bool SetBinaryValue(const std::u16string& key, const std::u16string& name, BYTE*& data,
                              int& size);
  // A copy of the value's data, cut to 2048 bytes, in a new[] array the
  // caller delete[]s; false, outputs untouched, when missing.
  virtual bool GetBinaryValue(const std::u16string& key, const std::u16string& name, BYTE*& data,
                              std::uint32_t& size);
};

// The process-wide instance, created on first use (thread-safe) and never
// destroyed.
boost::shared_ptr<CRegistry> GetRegistry();

// Reads the store as CRegistryImpl's reads do, and like them reports what
// is wrong with it to the process-wide logger, each problem once per
// process: an ERROR naming file, line and problem for a store that cannot
// be read (every setting then reads as missing, so defaults apply), a WARN
// per section of another hive that was skipped. Without a logger nothing
// is reported yet. False, with `problem` ("path:line: what"), when the
// store cannot be read; programs that must not run on defaults call it at
// start.
bool CheckRegistryStore(std::string* problem = nullptr);
