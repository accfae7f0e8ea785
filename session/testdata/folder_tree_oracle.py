# Prints every folder of a store as "name<TAB>child|child|..." using pypff,
# an independent reader; the session's tests compare their folders with it.
import sys

import pypff


def walk(folder, depth):
    children = [folder.get_sub_folder(i) for i in range(folder.get_number_of_sub_folders())]
    print((folder.get_name() or "") + "\t" + "|".join(c.get_name() or "" for c in children))
    if depth < 16:
        for child in children:
            walk(child, depth + 1)


store = pypff.file()
store.open(sys.argv[1])
walk(store.get_root_folder(), 0)
