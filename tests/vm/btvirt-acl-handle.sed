# btvirt's send_acl (emulator/btdev.c) forwards a host's ACL data to the other controller
# under the sender's connection handle; the receiving kernel knows the link by its own
# handle, and drops the data once the two differ (a host with two links). Send it under the
# receiver's handle, with ACL_START_NO_FLUSH still turned into ACL_START; and send nothing
# for a connection whose other end is gone.
/^\tif (acl_flags(hdr.handle) == ACL_START_NO_FLUSH)$/{
N
s/.*/\tif (!conn->link)\n\t\treturn;\n\n\thdr.handle = acl_handle_pack(conn->link->handle,\n\t\t\t\tacl_flags(hdr.handle) == ACL_START_NO_FLUSH ?\n\t\t\t\tACL_START : acl_flags(hdr.handle));/
}
