"""The typical use: a message to a topic with a JSON body, read back and printed."""

import tolvex

msg = tolvex.Tolvex()
msg.dest = tolvex.Destination("orders/new")  # a topic by default
msg.reply2 = tolvex.Destination("orders/replies", tolvex.Queue)
msg.delivery_mode = tolvex.Persistent
msg.cos = 2
msg.json = {"order": 1042, "items": [{"sku": "A-7", "qty": 3}], "rush": True}

print("destination:", msg.dest.dest, msg.dest.dest_type)
print("request:", msg.is_request, "content type:", msg.content_type)
print("body:", msg.body)
print("read back:", msg.json)
print(repr(msg))
