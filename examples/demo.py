import quillfen; print(quillfen.__version__)
