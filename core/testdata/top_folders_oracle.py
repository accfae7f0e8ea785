# Prints the top of a store's visible folder tree as pypff, an independent
# reader, sees it:
#   TOP<TAB>name<TAB>messages in the top folder itself
#   one line per non-search subfolder: name<TAB>messages below it<TAB>folders below it
# The top is the folder the store object's IPM subtree EntryID names, or in
# an offline store "IPM_SUBTREE" under the mailbox root. An optional second
# argument names the Windows code page of the store's 8-bit strings.
import sys

import pypff

MAX_DEPTH = 64


def ipm_subtree_nid(store_file):
    store = store_file.get_message_store()
    for r in range(store.number_of_record_sets):
        record_set = store.get_record_set(r)
        for i in range(record_set.number_of_entries):
            entry = record_set.get_entry(i)
            if entry.entry_type == 0x35E0 and entry.data and len(entry.data) >= 24:
                return int.from_bytes(entry.data[20:24], "little")
    return None


def find(folder, nid, depth=0):
    if folder.identifier == nid:
        return folder
    if depth >= MAX_DEPTH:
        return None
    for i in range(folder.number_of_sub_folders):
        found = find(folder.get_sub_folder(i), nid, depth + 1)
        if found:
            return found
    return None


def offline_top(root):
    for i in range(root.number_of_sub_folders):
        mailbox = root.get_sub_folder(i)
        if mailbox.name == "Root - Public":
            continue
        for j in range(mailbox.number_of_sub_folders):
            child = mailbox.get_sub_folder(j)
            if child.name == "IPM_SUBTREE":
                return child
    return None


def is_search_folder(folder):
    return (folder.identifier & 0x1F) == 0x03


def totals(folder, depth=0):
    messages, folders = folder.number_of_sub_messages, 0
    if depth < MAX_DEPTH:
        for i in range(folder.number_of_sub_folders):
            child = folder.get_sub_folder(i)
            if is_search_folder(child):
                continue
            m, f = totals(child, depth + 1)
            messages += m
            folders += f + 1
    return messages, folders


store_file = pypff.file()
if len(sys.argv) > 2:
    store_file.set_ascii_codepage("windows-" + sys.argv[2])
store_file.open(sys.argv[1])
root = store_file.get_root_folder()
nid = ipm_subtree_nid(store_file)
top = find(root, nid) if nid is not None else offline_top(root)
if top is None:
    sys.exit("no top of the folder tree")
print("TOP\t%s\t%d" % (top.name or "", top.number_of_sub_messages))
for i in range(top.number_of_sub_folders):
    child = top.get_sub_folder(i)
    if is_search_folder(child):
        continue
    messages, folders = totals(child)
    print("%s\t%d\t%d" % (child.name or "", messages, folders))
