#pragma once

// The per-account operations of the mail fetch cycle. In this build they are not available:
// each one only reports that in the status history, through the account's list (and so its
// engine), and changes nothing else.
namespace vorla {

class TZivadAccount;
class TZivadLog;

// The fetch cycle of one account. Returns at once, without a trace, when the account is busy
// or "enablefetch" is clear; otherwise adds the status line
// "\tFETCH\t" + name + "\tFetching mail is not available in this build".
void FetchMail(TZivadAccount& account, TZivadLog& log);

// The filtering run over the stored messages of one account. Returns at once when the account
// is busy, "enablefilters" is clear or its stop request is set; otherwise adds the status line
// "\tFILTER\t" + name + "\tFiltering stored messages is not available in this build".
void FilterMessages(TZivadAccount& account);

// Starts the queue sender of the account; adds the status line
// "\tSEND\t" + name + "\tSending queued mail is not available in this build".
void StartSendQueue(TZivadAccount& account);

}  // namespace vorla
