// Validation texts that several operations share. Callers compare messages
// to the letter, so each is written once.
#ifndef TAVIKUSER_FRAME_MESSAGES_H_
#define TAVIKUSER_FRAME_MESSAGES_H_

namespace tavikuser::frame {

inline constexpr char kInvalidConnectionString[] =
    "Invalid Connection string Property.";
inline constexpr char kInvalidCompanyPrefix[] = "Invalid Company Prefix.";
inline constexpr char kInvalidBranchPrefix[] = "Invalid Branch Prefix.";
inline constexpr char kInvalidDocumentPrefix[] = "Invalid Document Prefix.";
inline constexpr char kInvalidUserNo[] = "Invalid User No.";
inline constexpr char kInvalidRightsCode[] = "Invalid Rights Code.";

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_MESSAGES_H_
