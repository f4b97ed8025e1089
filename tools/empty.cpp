// Keeps an otherwise empty library target archivable.
