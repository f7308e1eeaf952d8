// Pool protocol messages: the two texts the client sends and the reading of those it receives.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "pool/json_str.h"

// ---- Outgoing -------------------------------------------------------------------------------

// {"Hello":{"payout_address":"…","worker_name":"…","client":"tarn-cuda/VERSION"}}
// Both values are escaped as literals; the text is never cut short.
std::string hello_message(const std::string& payout, const std::string& worker);

// {"JobResult":{"status":"completed","job_id":"…","nonce":"…","work":"…","hash_count":N,
// "elapsed_time":0.0,"miner_id":null}} with the nonce digits as both nonce and work.
// job_id is the text as json_str read it from the pool (see json_escape_received).
std::string job_result_message(const std::string& job_id, const std::string& nonce_hex,
                               std::uint64_t hash_count);

// The 64-byte nonce as 128 lower-case hexadecimal digits, byte 0 first, high nibble first.
std::string nonce_hex(const std::uint8_t* nonce64);

// ---- Incoming -------------------------------------------------------------------------------

enum class MessageKind { NewJob, SetDifficulty, ShareAccepted, ShareRejected, HelloAck, Unknown };

// Looks for each quoted name anywhere in the text, in the order of the enum; the first name
// found decides, wherever it stands. Unknown messages are to be ignored.
MessageKind classify_message(const std::string& text);

struct NewJob {
  std::string job_id;                 // as received, escapes not interpreted
  std::string difficulty;             // the difficulty text; empty when absent or not a string
  std::string mining_hash;            // the header text as received
  std::array<std::uint8_t, 32> header;  // parsed from mining_hash (header_from_hex)
  std::uint64_t difficulty_value;     // difficulty_u64(difficulty); 0 makes the job invalid
};

// Reads job_id, difficulty and mining_hash. A job with difficulty_value 0 must not replace the
// current one: the caller reports "bad diff" with this record's difficulty text and keeps its
// previous job texts, header, target and nonce prefix.
NewJob read_new_job(const std::string& text);

// Header byte i from the characters at 2i and 2i+1 as sscanf "%2x" reads them; a byte that
// cannot be read (non-hex, or past the end of a short text) is 0; characters after 64 ignored.
std::array<std::uint8_t, 32> header_from_hex(const std::string& hex);

// A difficulty text as an unsigned integer: plain decimal digits only. A sign, a blank, anything
// after the digits or a value of 2^64 or more reads as 0, which makes a NewJob a "bad diff": such
// a text would otherwise become a target that its pool never meant. Every integer use of the
// difficulty goes through it.
std::uint64_t difficulty_u64(const std::string& difficulty);

// A difficulty text as a floating-point number: strtod (0 when there is none).
double difficulty_f64(const std::string& difficulty);

struct SetDifficulty {
  bool found;              // the text share_difficulty occurs; when false nothing changes
  bool usable;             // value is finite, not negative and below 2^64
  double value;            // as strtod read it after the colon; 0 when no number is there
  std::string number;      // the characters strtod read, for the ignored line
  std::string difficulty;  // when usable: the value truncated toward zero, in decimal
};

// Reads share_difficulty, which must be a JSON number: 2500.7 gives "2500", 1e6 gives
// "1000000", a quoted "2500" gives "0". When found and usable, difficulty replaces the job's
// difficulty text; when found and not usable, the caller prints set_difficulty_ignored_line
// and changes nothing.
SetDifficulty read_set_difficulty(const std::string& text);

// "<tag> SetDifficulty ignored: share_difficulty <number> is negative, not finite or 2^64 or
// more\n" — one whole line, to be printed with a single call.
std::string set_difficulty_ignored_line(const std::string& tag, const SetDifficulty& sd);

// The reason of a ShareRejected, empty when missing.
std::string read_reject_reason(const std::string& text);

// True when a colon outside the message's strings is followed by a blank ("job_id": "j1"). Fields
// are found by pattern in compact JSON, as pools send it; in such a message the string fields
// read as missing, so the worker warns rather than leave a "bad diff" unexplained.
bool has_blank_after_colon(const std::string& text);
